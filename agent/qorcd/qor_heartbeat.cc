// The heartbeat: its job on the timer and the exchange each firing starts.
#include "qor_heartbeat.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/host.h"
#include "mirapi/log.h"
#include "qor_client.h"
#include "qor_iscsi.h"
#include "qor_lock.h"
#include "qor_parse.h"
#include "qor_report.h"
#include "qor_transport.h"

namespace {

// An exchange thread is between its start and the hand-over of its report;
// a second one that starts meanwhile gives way.
pthread_mutex_t progress_lock = PTHREAD_MUTEX_INITIALIZER;
int heartbeat_in_progress = 0;  // under progress_lock

// Addresses compared by is_manager_changed.
constexpr int kComparedAddrs = 32;

unsigned long tid() { return static_cast<unsigned long>(pthread_self()); }

std::string dotted(uint32_t addr) {
  char text[INET_ADDRSTRLEN] = "";
  in_addr a{};
  a.s_addr = addr;
  inet_ntop(AF_INET, &a, text, sizeof(text));
  return text;
}

bool test_and_set_progress() {
  MutexLock l(&progress_lock);
  if (heartbeat_in_progress) return false;
  heartbeat_in_progress = 1;
  return true;
}

void clear_progress() {
  MutexLock l(&progress_lock);
  heartbeat_in_progress = 0;
}

// What one exchange holds; released on every way out, in the order the
// exchange's end has always had.
struct Exchange {
  std::vector<int> fds;          // every socket opened, in address order
  qorc_req* req = nullptr;
  qor_manager* answer = nullptr;  // the manager the server sent back

  ~Exchange() {
    clear_progress();
    for (int fd : fds) {
      HM_LOG(LOG_DEBUG, "close fd: %d", fd);
      close(fd);
    }
    req_free(req);
    qor_manager_free(answer);
    HM_LOG(LOG_DEBUG, "tid:%lu:Complete heartbeat", tid());
  }
};

// What the exchange needs of the configuration, copied under its lock.
struct Target {
  std::string guid;
  uint16_t port = 0;
  std::vector<uint32_t> addrs;
};

// The manager to send to, or false (logged) when there is none to reach.
bool read_target(Target* t) {
  MutexLock l(&g_qor->mutex);
  if (!qor_managed_locked()) return false;
  t->guid.assign(g_qor->manager->guid, strnlen(g_qor->manager->guid, 63));
  if (t->guid.empty()) {
    HM_LOG(LOG_ERR, "Failed to get manager's guid");
    return false;
  }
  t->port = static_cast<uint16_t>(g_qor->server_port);
  if (t->port == 0) {
    HM_LOG(LOG_ERR, "Failed to get manager's port");
    return false;
  }
  const list_head* pos;
  list_for_each(pos, &g_qor->manager->ips) {
    t->addrs.push_back(list_entry(pos, ip_entry, list)->addr);
  }
  return true;
}

void set_blocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return;
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

// A socket whose non-blocking connect has finished: 0 when it connected.
// Writable alone says only that the attempt is over; a refused or
// unreachable address is writable too.
int connect_error(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// Connects to the first address that accepts.  The socket connected, -1
// when none did, -2 when a socket could not be made (the exchange ends
// without touching the backoff).
int connect_manager(const Target& t, Exchange* x) {
  // pending[i]: the attempt on x->fds[i] is still under way.
  std::vector<bool> pending;
  const size_t count = std::min<size_t>(t.addrs.size(), QOR_HEARTBEAT_MAX_ADDRS);
  for (size_t i = 0; i < count; i++) {
    int fd = reused_sock();
    if (fd < 0) {
      HM_LOG(LOG_ERR, "Failed to socket()");
      return -2;
    }
    x->fds.push_back(fd);
    pending.push_back(false);
    set_blocking(fd, false);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
      HM_LOG(LOG_ERR, "Failed to bind port %d", 0);
      return -2;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = t.addrs[i];
    peer.sin_port = htons(t.port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == 0) {
      HM_LOG(LOG_DEBUG, "Connection established with server.");
      return fd;
    }
    pending.back() = errno == EINPROGRESS || errno == EINTR;
    HM_LOG(LOG_DEBUG, "poll ip: %s:%d", dotted(t.addrs[i]).c_str(), t.port);
  }

  HM_LOG(LOG_DEBUG, "tid:%lu Blocked by poll() to send to Tidewell_Server", tid());
  const int64_t deadline = hl_monotonic_ms() + QOR_HEARTBEAT_CONNECT_MS;
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<size_t> which;
    for (size_t i = 0; i < pending.size(); i++) {
      if (!pending[i]) continue;
      fds.push_back({x->fds[i], POLLOUT, 0});
      which.push_back(i);
    }
    const int64_t left = deadline - hl_monotonic_ms();
    // Every attempt already failed: nothing more can come.  (With no
    // address at all the wait runs its full length, as it always has.)
    if (left <= 0 || (fds.empty() && count > 0)) break;
    int n = hl_poll(fds.empty() ? nullptr : fds.data(), fds.size(), static_cast<int>(left));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    // The first address, in list order, whose attempt succeeded; the ones
    // that failed drop out and the others are waited for again.
    int found = -1;
    for (size_t k = 0; k < fds.size(); k++) {
      if (fds[k].revents == 0) continue;
      pending[which[k]] = false;
      if (found < 0 && (fds[k].revents & POLLOUT) && connect_error(fds[k].fd) == 0)
        found = fds[k].fd;
    }
    if (found >= 0) return found;
  }
  HM_LOG(LOG_ERR, "Failed to connect to manager '%s'", t.guid.c_str());
  return -1;
}

// The backoff after a failed connection: doubled, at most 128.  The job's
// next firing was set when it fired, so the new factor counts from then.
void back_off() {
  job_update(JOB_HEARTBEAT, nullptr, [](job_status* job) {
    job->backoff = std::min<uint32_t>(std::max<uint32_t>(job->backoff, 1) * 2,
                                      QOR_HEARTBEAT_MAX_BACKOFF);
  });
}

// A connection again: every 5 seconds from now on.
void recovered() {
  bool wake = false;
  job_update(JOB_HEARTBEAT, nullptr, [&](job_status* job) {
    const int64_t now = job_now();
    if (job->backoff > 1) {
      job->backoff = 1;
      job->next_time = now + QOR_HEARTBEAT_INTERVAL;
      wake = true;
    }
    if (job->next_time <= now) {
      HM_LOG(LOG_DEBUG, "tid:%lu:Update heartbeat stat next_time.", tid());
      job->backoff = 1;
      job->next_time = now + QOR_HEARTBEAT_INTERVAL;
    }
  });
  if (wake) timer_wake();
}

// Status 50 withdraws the host only when it comes from the manager the
// heartbeat went to and that manager still manages the host: a late answer
// of a server the host was taken from must not withdraw it from its new one.
bool still_managed_by(const std::string& guid) {
  MutexLock l(&g_qor->mutex);
  const char* configured =
      qor_managed_locked() ? g_qor->manager->guid : "";
  if (guid == configured) return true;
  HM_LOG(LOG_WARNING, "'%s' is not the right manager, '%s' is", guid.c_str(), configured);
  return false;
}

void adopt_manager(Exchange* x) {
  HM_LOG(LOG_DEBUG, "Translate xml to struct qor_manager");
  x->answer = xml_to_manager(x->req->recvxml);
  if (x->answer == nullptr) {
    HM_LOG(LOG_ERR, "Failed to fetch manager from xml");
    return;
  }
  HM_LOG(LOG_DEBUG, "tid:%lu:Check if manager changed", tid());
  {
    MutexLock l(&g_qor->mutex);
    if (is_manager_changed(x->answer)) {
      // The same server at other addresses: the channel to its target is
      // still the host's, and without its IQN the reset could not log out
      // of it nor a heartbeat bring it back.
      char* iqn = g_qor->manager->target_iqn;
      g_qor->manager->target_iqn = nullptr;
      if (qor_mngr_appoint(x->answer, g_qor) < 0) {
        g_qor->manager->target_iqn = iqn;
        HM_LOG(LOG_ERR, "Failed to appoint manager");
        return;
      }
      g_qor->manager->target_iqn = iqn;
      qor_save_config(g_qor);
    }
  }
  int rc = qor_is_iscsi_channel_login();
  if (rc == -1)
    HM_LOG(LOG_DEBUG, "It need not establish channel.");
  else if (rc == 0)
    HM_LOG(LOG_INFO, "Channel auto login success.");
}

void exchange() {
  Exchange x;

  Target target;
  if (!read_target(&target)) return;
  if (!heartbeat_registered()) {
    HM_LOG(LOG_ERR, "Error: there must be one and only one heartbeat status");
    return;
  }
  x.req = req_alloc();
  if (x.req == nullptr) {
    HM_LOG(LOG_ERR, "Failed to initialize request");
    return;
  }

  int fd = connect_manager(target, &x);
  if (fd == -2) return;
  if (fd < 0) {
    back_off();
    HM_LOG(LOG_ERR, "Failed to connect to manager '%s'", target.guid.c_str());
    return;
  }
  set_blocking(fd, true);
  timeval limit{QOR_HEARTBEAT_REPLY_TIMEOUT, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  recovered();

  // The report builder takes the configuration lock for the groups and only
  // then g_client.lock (the agent's lock order), and waits for it; it does
  // not spin on a busy g_client.lock with a "Wait the lock" line per try,
  // which the lock order would not allow from here and which only filled
  // the log while a scan swapped its lists.
  HM_LOG(LOG_DEBUG, "tid:%lu.The pthread of heartbeat g_client.lock lock.", tid());
  HM_LOG(LOG_DEBUG, "tid:%lu heartbeat get client's attribute.", tid());
  uint32_t len = 0;
  x.req->sendxml = qor_client_report(&g_client, g_qor, 1, &len);
  if (x.req->sendxml == nullptr) {
    HM_LOG(LOG_ERR, "Failed to get xml(client info)");
    return;
  }
  HM_LOG(LOG_DEBUG, "tid:%lu.The pthread of heartbeat g_client.lock unlock.", tid());
  // The next firing may start its own exchange while this one waits for
  // the server.
  clear_progress();

  qorc_head& head = x.req->send_head;
  head.proto_version = QORC_PROTO_VERSION;
  head.ret_status = 0;
  head.tag = QOR_HEARTBEAT_TAG;
  head.cmd = QORC_CMD_HEARTBEAT;
  head.data_len = len;
  if (send_to_remote(fd, x.req) != 0) {
    HM_LOG(LOG_ERR, "Failed to send msg to manager");
    return;
  }
  // A short head (the server went silent within it) is a failure, never an
  // answer: recv_from_remote refuses it.
  if (recv_from_remote(fd, x.req) != 0) {
    HM_LOG(LOG_ERR, "Failed to receive msg from manager");
    return;
  }
  const int status = x.req->recv_head.ret_status;
  HM_LOG(LOG_DEBUG, "req->recv_head.ret_status:%d", status);

  if (status == 50) {
    if (!still_managed_by(target.guid)) return;
    HM_LOG(LOG_ERR, "Localhost is unprotected anymore");
    _client_reset();
  } else if (status != 0) {
    HM_LOG(LOG_ERR, "Tidewell server return error");
  } else {
    adopt_manager(&x);
  }
}

}  // namespace

int _register_for_heartbeat(void) {
  if (heartbeat_registered()) return 0;
  HM_LOG(LOG_DEBUG, "Registering for heartbeat");
  job_status* job = _alloc_job_status();
  if (job == nullptr) {
    HM_LOG(LOG_ERR, "Failed to create empty job.");
    return -1;
  }
  job->type = JOB_HEARTBEAT;
  job->callback = process_heartbeat;
  job->next_time = 0;
  job->interval = QOR_HEARTBEAT_INTERVAL;
  job->backoff = 1;
  // Checked and added in one hold of job_lock: two registrations at once
  // still leave one job.
  int rc = job_add_unique(job);
  if (rc != 0) job_free(job);
  if (rc < 0) {
    HM_LOG(LOG_ERR, "Failed to register heartbeat job.");
    return -1;
  }
  if (rc == 0) HM_LOG(LOG_INFO, "Heartbeat registered.");
  return 0;
}

int heartbeat_registered(void) { return job_exists(JOB_HEARTBEAT, nullptr); }

int process_heartbeat(job_status*) {
  const int running = heartbeat_running();
  HM_LOG(LOG_DEBUG, "g_heartbeat_running = %d", running);
  if (!running) return -1;
  pthread_t thread;
  if (start_thread(&thread, _process_heartbeat, nullptr) != 0) {
    HM_LOG(LOG_ERR, "Failed to create thread for heartbeat");
    return -1;
  }
  return 0;
}

void* _process_heartbeat(void*) {
  HM_LOG(LOG_DEBUG, "tid:%lu Start to process heartbeat", tid());
  if (!test_and_set_progress()) {
    HM_LOG(LOG_DEBUG, "tid:%lu. The pthread of heartbeat had exist.The pthread release ahead of end.",
           tid());
    return nullptr;
  }
  exchange();
  return nullptr;
}

int is_manager_changed(const qor_manager* mngr) {
  if (mngr == nullptr || mngr->guid == nullptr || mngr->guid[0] == '\0') return 0;
  if (!qor_managed_locked()) return 0;
  const qor_manager* mine = g_qor->manager;
  if (strcmp(mngr->guid, mine->guid) != 0) {
    HM_LOG(LOG_WARNING, "'%s' is not the right manager, '%s' is", mngr->guid, mine->guid);
    return 0;
  }
  // The first 32 addresses of each list, 0 past a list's end.
  auto first = [](const qor_manager* m, uint32_t* out) {
    int n = 0;
    const list_head* pos;
    list_for_each(pos, &m->ips) {
      if (n == kComparedAddrs) break;
      out[n++] = list_entry(pos, ip_entry, list)->addr;
    }
  };
  uint32_t theirs[kComparedAddrs] = {};
  uint32_t ours[kComparedAddrs] = {};
  first(mngr, theirs);
  first(mine, ours);
  for (int i = 0; i < kComparedAddrs; i++) {
    if (theirs[i] == 0 && ours[i] == 0) return 0;
    if (theirs[i] != ours[i]) return 1;
  }
  return 0;
}
