#include "hm_cdp.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "hm_conn.h"
#include "hm_event.h"
#include "hm_listen.h"
#include "hm_nl.h"
#include "hm_nl_client.h"
#include "hm_registry.h"
#include "hm_sys.h"
#include "hm_unix_cmd.h"
#include "mirapi/log.h"
#include "mirapi/util.h"

int g_cdp_read_timeout_ms = 5000;
int g_cdp_max_conns = 64;

namespace {

struct net_cmd {
  char name[32];
  int code;
};

const net_cmd net_cmd_table[] = {
    {"ZEL_RC_CMD_CREATE_CDP", NET_CMD_CREATE_CDP},
    {"ZEL_RC_CMD_CREATE_TIMECDP", NET_CMD_CREATE_TIMECDP},
    {"", 0},
};

// The GUID text a mark name carries: "zel_{" + 36 characters + "}".
constexpr size_t kGuidLen = 36;
constexpr size_t kMarkNameLen = 5 + kGuidLen + 1;
// The parameter area used while parsing.
constexpr int kParaArea = 1024;

// The "string" children of m_StrParaList into the parameter area: one
// address slot per announced parameter, then the texts.  Exactly count
// strings must come, and all must fit: 0 or -1.
int get_str_para_list(xmlNodePtr list, char* area, int area_size, int count,
                      const char** paras) {
  if (count == 0) return 0;
  if (count < 0 || count > (area_size / 8) - 1) return -1;
  int used = 8 * count;
  int i = 0;
  for (xmlNodePtr n = list->children; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE || xmlStrcmp(n->name, BAD_CAST "string") != 0) continue;
    if (i >= count) return -1;
    xmlChar* text = xmlNodeGetContent(n);
    const char* t = text ? reinterpret_cast<const char*>(text) : "";
    int len = (int)strlen(t);
    if (used + len + 1 > area_size) {
      xmlFree(text);
      return -1;
    }
    memcpy(area + used, t, len + 1);
    paras[i++] = area + used;
    used += len + 1;
    xmlFree(text);
  }
  return i == count ? 0 : -1;
}

// Builds the parameter block and queues the mark on "net".
int process_net_cmd(const char* name, const char** paras, int count) {
  unsigned char* block = static_cast<unsigned char*>(calloc(1, HM_CDP_PARA_BLOCK));
  if (!block) {
    HM_LOG(LOG_ERR, "out of memory");
    return -12;
  }
  // The block holds the count, one address per parameter and the texts.
  size_t used = sizeof(int32_t) + sizeof(char*) * (size_t)count;
  int32_t c32 = count;
  memcpy(block, &c32, sizeof(c32));
  for (int i = 0; i < count; i++) {
    size_t len = strlen(paras[i]);
    if (used + len + 1 > HM_CDP_PARA_BLOCK) {
      free(block);
      HM_LOG(LOG_ERR, "net cmd parameters do not fit");
      return HM_CDP_ERR_BAD_XML;
    }
    char* text = reinterpret_cast<char*>(block + used);
    memcpy(text, paras[i], len + 1);
    memcpy(block + sizeof(int32_t) + sizeof(char*) * i, &text, sizeof(text));
    used += len + 1;
  }
  int code = net_cmd_lookup(name ? name : "");
  if (code == 0) {
    free(block);
    HM_LOG(LOG_ERR, "invalid net cmd: %s", name ? name : "");
    return -22;
  }
  struct hm_request* r = alloc_request(HM_REQ_NET, (uint32_t)code, block, nullptr);
  if (queue_request(r) != 0) {
    free_request(r);
    HM_LOG(LOG_ERR, "%d marks wait: %s refused", g_net_queue_max, name);
    return -12;
  }
  return 0;
}

const char* first_para(const struct hm_request* r) {
  const unsigned char* block = static_cast<const unsigned char*>(r->data);
  int32_t count;
  memcpy(&count, block, sizeof(count));
  if (count < 1) return nullptr;
  const char* p;
  memcpy(&p, block + sizeof(int32_t), sizeof(p));
  return p;
}

void net_create_cdp(struct hm_request* r) {
  const char* name = first_para(r);
  if (name) create_cdp((int)r->cmd, name);
}

typedef void (*net_handler)(struct hm_request* r);
const net_handler net_request_handlers[] = {nullptr, net_create_cdp, net_create_cdp};

int create_cdp_prepare() {
  HM_LOG(LOG_DEBUG, "in");
  g_outside_ops.log_init("init");
  g_outside_ops.set_logdaemon(1);
  g_outside_ops.set_loglevel(9);
  g_outside_ops.parse_cfgfile(g_hm_paths.zel_cfg);
  HM_LOG(LOG_DEBUG, "parse cfgfile finished");
  return 0;
}

int hm_mark_cdp(const char* name, int time_flag) {
  HM_LOG(LOG_DEBUG, "BEFORE zel_call_markcdp");
  int rc = g_outside_ops.markcdp(name, time_flag);
  HM_LOG(LOG_DEBUG, "AFTER zel_call_markcdp");
  return rc;
}

// Parses the request and queues its mark: the result its reply carries.
int parse_request(const char* msg, int len) {
  xmlDocPtr doc = xmlReadMemory(msg, len, nullptr, nullptr, XML_PARSE_RECOVER | XML_PARSE_NONET |
                                                                XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) {
    zelc_syslog("[%s] parse xml error\n", "parse_xml_cmd");
    return HM_CDP_ERR_BAD_XML;
  }
  int result;
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (!root) {
    zelc_syslog("[%s] get root element error\n", "parse_xml_cmd");
    result = HM_CDP_ERR_BAD_XML;
  } else if (xmlStrcmp(root->name, BAD_CAST "CSocketMsgInfo") != 0) {
    zelc_syslog("[%s] wrong xml root\n", "parse_xml_cmd");
    result = HM_CDP_ERR_BAD_XML;
  } else {
    int count = 0;
    int nparas = 0;  // parameters actually read, whatever m_ParaNum says later
    char area[kParaArea];
    const char* paras[kParaArea / 8] = {nullptr};
    xmlChar* command = nullptr;
    result = 0;
    for (xmlNodePtr n = root->children; n; n = n->next) {
      if (n->type != XML_ELEMENT_NODE) continue;
      if (xmlStrcmp(n->name, BAD_CAST "m_ParaNum") == 0) {
        xmlChar* t = xmlNodeGetContent(n);
        count = t ? atoi(reinterpret_cast<const char*>(t)) : 0;
        xmlFree(t);
      } else if (xmlStrcmp(n->name, BAD_CAST "m_SendCommand") == 0) {
        xmlFree(command);
        command = xmlNodeGetContent(n);
      } else if (xmlStrcmp(n->name, BAD_CAST "m_StrParaList") == 0) {
        if (get_str_para_list(n, area, kParaArea, count, paras) != 0) {
          result = HM_CDP_ERR_BAD_XML;
          break;
        }
        nparas = count;
      }
    }
    if (result == 0) {
      const char* name = command ? reinterpret_cast<const char*>(command) : nullptr;
      // A mark needs its name: a request without a parameter is refused
      // before anything is queued.
      if (net_cmd_lookup(name ? name : "") != 0 && nparas < 1)
        result = HM_CDP_ERR_BAD_XML;
      else
        result = process_net_cmd(name, paras, nparas);
    }
    xmlFree(command);
  }
  xmlFreeDoc(doc);
  return result;
}

}  // namespace

int net_cmd_lookup(const char* name) {
  for (const net_cmd* c = net_cmd_table; c->code != 0; c++)
    if (strcmp(c->name, name) == 0) return c->code;
  return 0;
}

int format_xml_reply(const char* doc, int len, char* out, int out_len) {
  if (!memmem(doc, len, "m_RetMsgInfo", 12)) return -1;
  int n = 0;
  for (int i = 0; i < len && n < out_len - 1; i++)
    if (doc[i] != '\n') out[n++] = doc[i];
  out[n] = '\0';
  return n;
}

int zelc_send_msg(int fd, const char* buf, int len) {
  int sent = 0, last_errno = 0;
  time_t deadline = time(nullptr) + 10;
  while (sent < len) {
    ssize_t n = send(fd, buf + sent, len - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += (int)n;
      continue;
    }
    last_errno = errno;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && time(nullptr) <= deadline) continue;
    if (errno == EPIPE) zelc_syslog("[%s] socket broken\n", "zelc_send_msg");
    zelc_syslog("[%s] error: %s len: %d sent: %d left: %d\n", "zelc_send_msg", strerror(errno),
                len, sent, len - sent);
    break;
  }
  zelc_syslog("[%s] send bytes: %d retcode: %d\n", "zelc_send_msg", sent, last_errno);
  return sent;
}

int parse_xml_cmd(const char* msg, int len, int fd) {
  xmlDocPtr reply = xmlNewDoc(BAD_CAST "1.0");
  xmlNodePtr root = reply ? xmlNewNode(nullptr, BAD_CAST "CRetMsgInfo") : nullptr;
  if (!root) {
    xmlFreeDoc(reply);
    return HM_CDP_ERR_NO_REPLY;
  }
  xmlDocSetRootElement(reply, root);
  xmlNodePtr status = xmlNewChild(root, nullptr, BAD_CAST "m_RepServiceStatus", nullptr);
  xmlNodePtr info = xmlNewChild(root, nullptr, BAD_CAST "m_RetMsgInfo", nullptr);
  xmlNodePtr code = xmlNewChild(root, nullptr, BAD_CAST "m_ErrorCode", nullptr);
  if (!status || !info || !code) {
    xmlFreeDoc(reply);
    return HM_CDP_ERR_NO_REPLY;
  }
  int result = parse_request(msg, len);
  xmlNodeSetContent(status, BAD_CAST(result ? "RS_FAILED" : "RS_SUCCESS_START_CREATE_CDP"));
  char hex[16];
  snprintf(hex, sizeof(hex), "%x", (unsigned)result);
  xmlNodeSetContent(code, BAD_CAST hex);

  xmlChar* dump = nullptr;
  int dump_len = 0;
  xmlDocDumpFormatMemoryEnc(reply, &dump, &dump_len, "utf-8", 0);
  if (dump) {
    char* out = static_cast<char*>(malloc(dump_len + 1));
    if (out) {
      int n = format_xml_reply(reinterpret_cast<const char*>(dump), dump_len, out, dump_len + 1);
      if (n > 0 && zelc_send_msg(fd, out, n) == n) HM_LOG(LOG_DEBUG, "send success, message: %s\n", out);
      free(out);
    }
    xmlFree(dump);
  }
  xmlFreeDoc(reply);
  return result;
}

namespace {

// What is read of a request beyond its first HM_CDP_MSG_MAX bytes, and
// dropped, before the connection is closed.
constexpr size_t kDrainMax = 64 * 1024;

// One TCP request being read.  The connection is served by the event loop
// like any other descriptor, so a slow or idle peer holds nothing up; a
// timer ends the read when the peer takes too long.
//
// Once answered, the connection is shut for sending and the rest of a long
// request is read and dropped until the peer closes: a close with unread
// bytes would reset the connection and could take the reply with it.
struct tcp_conn {
  int fd;
  int tfd;
  int have;
  int draining;
  size_t dropped;
  char buf[HM_CDP_MSG_MAX + 1];
};

void tcp_conn_arm(tcp_conn* c) {
  struct itimerspec its = {};
  its.it_value.tv_sec = g_cdp_read_timeout_ms / 1000;
  its.it_value.tv_nsec = (g_cdp_read_timeout_ms % 1000) * 1000000L;
  timerfd_settime(c->tfd, 0, &its, nullptr);
}

// Connections accepted and not yet closed (main thread only; read by tests).
int g_open_conns = 0;

void tcp_conn_close(tcp_conn* c) {
  g_open_conns--;
  unregister_event(c->fd);
  unregister_event(c->tfd);
  close(c->tfd);
  close(c->fd);
  free(c);
}

// The request is in (or the time is up): parse it, answer, and close once
// the peer has nothing more to say.  peer_done: the peer closed its side.
void tcp_conn_finish(tcp_conn* c, int peer_done) {
  if (c->have == 0) return tcp_conn_close(c);
  int fl = fcntl(c->fd, F_GETFL);
  if (fl >= 0) fcntl(c->fd, F_SETFL, fl & ~O_NONBLOCK);
  struct timeval tv = {10, 0};
  setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  c->buf[c->have] = '\0';
  HM_LOG(LOG_DEBUG, "accepted a new connection: %d", c->fd);
  HM_LOG(LOG_DEBUG, "MSG: %s", c->buf);
  parse_xml_cmd(c->buf, c->have, c->fd);
  HM_LOG(LOG_DEBUG, "recv from sock: %d num:%d : %s\n", c->fd, c->have, c->buf);
  if (peer_done) return tcp_conn_close(c);
  shutdown(c->fd, SHUT_WR);
  if (fl >= 0) fcntl(c->fd, F_SETFL, fl | O_NONBLOCK);
  c->draining = 1;
  tcp_conn_arm(c);
}

// The rest of a request that was answered: read and dropped, bounded.
void tcp_conn_drain(tcp_conn* c) {
  char sink[4096];
  for (;;) {
    ssize_t n = recv(c->fd, sink, sizeof(sink), MSG_DONTWAIT);
    if (n > 0) {
      c->dropped += (size_t)n;
      if (c->dropped > kDrainMax) {
        HM_LOG(LOG_ERR, "request of more than %zu bytes, connection closed", kDrainMax);
        return tcp_conn_close(c);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    return tcp_conn_close(c);  // the peer's end, or its failure
  }
}

void tcp_conn_rx(int fd, uint32_t, void* arg) {
  tcp_conn* c = static_cast<tcp_conn*>(arg);
  if (c->draining) return tcp_conn_drain(c);
  for (;;) {
    ssize_t n = recv(fd, c->buf + c->have, HM_CDP_MSG_MAX - c->have, MSG_DONTWAIT);
    if (n > 0) {
      c->have += (int)n;
      if (c->have == HM_CDP_MSG_MAX) {
        // Only the first bytes are parsed; the rest is dropped after the reply.
        tcp_conn_finish(c, 0);
        return;
      }
      continue;
    }
    if (n == 0) return tcp_conn_finish(c, 1);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    HM_LOG(LOG_ERR, "failed: %s\n", strerror(errno));
    return tcp_conn_close(c);
  }
}

void tcp_conn_timeout(int fd, uint32_t, void* arg) {
  uint64_t n;
  ssize_t r = read(fd, &n, sizeof(n));
  (void)r;
  tcp_conn* c = static_cast<tcp_conn*>(arg);
  if (c->draining) {
    HM_LOG(LOG_ERR, "peer kept sending after its reply, connection closed");
    return tcp_conn_close(c);
  }
  HM_LOG(LOG_ERR, "request read timed out after %d bytes", c->have);
  tcp_conn_finish(c, 0);
}

}  // namespace

namespace {
hm_ratelimit full_rl;
}

void net_listen_handler(int fd, uint32_t, void*) {
  int conn = hm_accept(fd, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (conn < 0) return;
  // Each connection holds two descriptors for up to its deadline; a peer
  // that opens them faster than they end must not take the daemon's last.
  if (g_open_conns >= g_cdp_max_conns) {
    if (hm_ratelimit_ok(&full_rl))
      HM_LOG(LOG_ERR, "%d mark channel connections open: a new one closed (%u more since the last such line)",
             g_open_conns, hm_ratelimit_missed(&full_rl));
    close(conn);
    return;
  }
  tcp_conn* c = static_cast<tcp_conn*>(calloc(1, sizeof(tcp_conn)));
  int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (!c || tfd < 0) {
    HM_LOG(LOG_ERR, "out of memory");
    free(c);
    if (tfd >= 0) close(tfd);
    close(conn);
    return;
  }
  c->fd = conn;
  c->tfd = tfd;
  g_open_conns++;
  tcp_conn_arm(c);
  if (register_event(conn, tcp_conn_rx, c) != 0) {
    g_open_conns--;
    close(tfd);
    close(conn);
    free(c);
    return;
  }
  if (register_event(tfd, tcp_conn_timeout, c) != 0) {
    g_open_conns--;
    unregister_event(conn);
    close(tfd);
    close(conn);
    free(c);
  }
}

int net_open_connections(void) { return g_open_conns; }

void net_request_process(struct hm_work* w) {
  struct hm_request* r = hm_request_of(w);
  if (r->cmd < sizeof(net_request_handlers) / sizeof(net_request_handlers[0]) &&
      net_request_handlers[r->cmd])
    net_request_handlers[r->cmd](r);
  free_request(r);
}

int cdp_name_to_guid(const char* name, char* guid, size_t size) {
  // Only the 42-character form "zel_{GUID}" names a protection.
  if (strnlen(name, kMarkNameLen + 1) != kMarkNameLen || size <= kGuidLen) return -1;
  memcpy(guid, name + 5, kGuidLen);
  guid[kGuidLen] = '\0';
  return 0;
}

int hmdev_health(struct hmdev* dev) {
  if (hmdev_volumes_check(dev) != 0) {
    HM_LOG(LOG_ERR, "hmdev degraded");
    return 0;
  }
  pthread_mutex_lock(&dev->status_lock);
  uint64_t s = dev->status;
  pthread_mutex_unlock(&dev->status_lock);
  if (!hm_test_bit(s, HM_RECOVERY_ON) && hm_test_bit(s, HM_INITIALIZE_FINISHED)) return 1;
  if (hm_test_bit(s, HM_RECOVERY_ON))
    HM_LOG(LOG_ERR, "hmdev in recoverying");
  else
    HM_LOG(LOG_ERR, "hmdev initialize not finished");
  return 0;
}

int create_cdp(int code, const char* name) {
  char guid[HM_NAME_LEN];
  if (cdp_name_to_guid(name, guid, sizeof(guid)) != 0) {
    HM_LOG(LOG_ERR, "volume: %s not protected", name);
    return -2;
  }
  struct hmdev* dev = hmdev_find_by_guid(guid);
  if (!dev) {
    HM_LOG(LOG_ERR, "volume: %s not protected", name);
    return -2;
  }
  char mname[HM_NAME_LEN];
  hmvol_copy_name(dev->mirror, mname, sizeof(mname));
  pthread_mutex_lock(&dev->status_lock);
  int usable = dev->mirror->active && !hmdev_stopped(dev);
  pthread_mutex_unlock(&dev->status_lock);
  if (!usable) {
    HM_LOG(LOG_ERR, "volume: %s is not active or stopped", mname);
    hmdev_put(dev);
    return -2;
  }
  if (!hmdev_health(dev)) {
    HM_LOG(LOG_ERR, "volume: %s is not health", mname);
    hmdev_put(dev);
    return -2;
  }
  HM_LOG(LOG_INFO, "%s\n", mname);
  char outside[48];
  hm_strlcpy(outside, name + 4, 39);  // the GUID in braces
  int time_flag = code != NET_CMD_CREATE_CDP ? 1 : 0;
  hm_nl_cancel_forbid_mirror_all();
  create_cdp_prepare();
  int rc = hm_mark_cdp(outside, time_flag);
  HM_LOG(LOG_INFO, "create_cdp_finished: %s %s\n", name, mname);
  hm_nl_forbid_mirror_all();
  hmdev_put(dev);
  if (rc < 0) {
    HM_LOG(LOG_ERR, "mark %s failed: %d", outside, rc);
    return rc;
  }
  return 0;
}
