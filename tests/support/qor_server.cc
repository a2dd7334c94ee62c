#include "qor_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "eventually.h"
#include "simhost.h"

namespace testsupport {
namespace {

// Nothing a test sends or qorcd reports comes near this; a larger data_len
// is read only this far.
constexpr size_t kMaxBody = 16u << 20;
// How long a request on the listener may take to arrive whole.
constexpr int kRequestLimitMs = 30000;

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int64_t ms_left(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return std::max<int64_t>(0, left.count());
}

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Reads into out until want bytes are there, the peer closes, or the
// deadline passes.  True when the peer closed.
bool read_until(int fd, std::string* out, size_t want, std::chrono::steady_clock::time_point deadline) {
  while (out->size() < want) {
    struct pollfd p = {fd, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(ms_left(deadline)));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    char buf[65536];
    size_t room = std::min(sizeof buf, want - out->size());
    ssize_t n = ::recv(fd, buf, room, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
  return false;
}

constexpr QorHead kZeroHead = {0, 0, 0, 0, 0, 0, 0};

QorHead head_of(const std::string& bytes) {
  QorHead h = kZeroHead;
  memcpy(&h, bytes.data(), std::min(bytes.size(), sizeof h));
  return h;
}

std::string bytes_of(const QorHead& h) { return std::string(reinterpret_cast<const char*>(&h), sizeof h); }

bool parse_port_line(const std::string& line, uint16_t port) {
  // "  sl  local_address rem_address   st ..." with hexadecimal fields; 0A is LISTEN.
  std::istringstream in(line);
  std::string sl, local, remote, state;
  if (!(in >> sl >> local >> remote >> state)) return false;
  size_t colon = local.rfind(':');
  if (colon == std::string::npos || state != "0A") return false;
  return strtoul(local.c_str() + colon + 1, nullptr, 16) == port;
}

// The value after "Key:" in /proc/PID/status, "" when missing.
std::string status_field(pid_t pid, const std::string& key) {
  std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) return line.substr(key.size() + 1);
  }
  return "";
}

std::string link_of(const std::string& path) {
  char buf[256];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

bool process_gone(pid_t pid) {
  std::string state = status_field(pid, "State");
  return state.empty() || state.find('Z') != std::string::npos;
}

// ---- qorcd.conf ----

xmlNodePtr add_text(xmlNodePtr parent, const char* name, const std::string& text) {
  return xmlNewTextChild(parent, nullptr, BAD_CAST name, BAD_CAST text.c_str());
}

std::string content(xmlNodePtr node) {
  xmlChar* c = xmlNodeGetContent(node);
  std::string s = c ? reinterpret_cast<const char*>(c) : "";
  xmlFree(c);
  return s;
}

std::string attr(xmlNodePtr node, const char* name) {
  xmlChar* c = xmlGetProp(node, BAD_CAST name);
  std::string s = c ? reinterpret_cast<const char*>(c) : "";
  xmlFree(c);
  return s;
}

bool named(xmlNodePtr node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

xmlNodePtr child(xmlNodePtr node, const char* name) {
  for (xmlNodePtr c = node->children; c; c = c->next)
    if (named(c, name)) return c;
  return nullptr;
}

uint64_t number(const std::string& s) { return strtoull(s.c_str(), nullptr, 10); }

}  // namespace

QorAnswer QorAnswer::reply(uint16_t status, std::string document) {
  QorAnswer a;
  a.kind = kReply;
  a.status = status;
  a.document = std::move(document);
  return a;
}

QorAnswer QorAnswer::hang_up() {
  QorAnswer a;
  a.kind = kHangUp;
  return a;
}

QorAnswer QorAnswer::silent(std::string first_bytes) {
  QorAnswer a;
  a.kind = kSilent;
  a.first_bytes = std::move(first_bytes);
  return a;
}

QorAnswer QorAnswer::held(uint16_t status, std::string document) {
  QorAnswer a = reply(status, std::move(document));
  a.kind = kHeld;
  return a;
}

std::string QorConf::to_xml() const {
  xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
  xmlNodePtr root = xmlNewNode(nullptr, BAD_CAST "Tidewell");
  xmlDocSetRootElement(doc, root);
  add_text(root, "ClientGUID", client_guid);
  add_text(root, "ClientAlias", client_alias);
  add_text(root, "ClientPort", std::to_string(client_port));
  add_text(root, "ServerPort", std::to_string(server_port));
  xmlNodePtr filter = xmlNewChild(root, nullptr, BAD_CAST "IPAddrFilter", nullptr);
  for (const std::string& ip : ip_filter) add_text(filter, "IPAddr", ip);
  if (has_manager) {
    xmlNodePtr m = xmlNewChild(root, nullptr, BAD_CAST "Manager", nullptr);
    add_text(m, "ManagerGUID", manager_guid);
    if (!target_iqn.empty()) add_text(m, "TargetIQN", target_iqn);
    for (const std::string& ip : manager_ips) add_text(m, "ManagerIPAddr", ip);
  }
  xmlNodePtr groups_node = xmlNewChild(root, nullptr, BAD_CAST "DiskGroupList", nullptr);
  for (const Group& g : groups) {
    xmlNodePtr n = xmlNewChild(groups_node, nullptr, BAD_CAST "DiskGroup", nullptr);
    xmlNewProp(n, BAD_CAST "GroupName", BAD_CAST g.name.c_str());
    xmlNewProp(n, BAD_CAST "CDPConStartTime", BAD_CAST std::to_string(g.con_start_time).c_str());
    xmlNewProp(n, BAD_CAST "CDPStartTime", BAD_CAST std::to_string(g.start_time).c_str());
    xmlNewProp(n, BAD_CAST "CDPTimeout", BAD_CAST std::to_string(g.interval).c_str());
    for (const std::string& m : g.members) {
      xmlNodePtr d = xmlNewChild(n, nullptr, BAD_CAST "Disk", nullptr);
      xmlNewProp(d, BAD_CAST "DiskGUID", BAD_CAST m.c_str());
    }
  }
  xmlNodePtr sch_node = xmlNewChild(root, nullptr, BAD_CAST "CDPScheduleList", nullptr);
  for (const Schedule& s : schedules) {
    xmlNodePtr n = xmlNewChild(sch_node, nullptr, BAD_CAST "CDPSchedule", nullptr);
    add_text(n, "CDPLocalLUN", s.local_guid);
    add_text(n, "CDPMirrorLUN", s.mirror_guid);
    add_text(n, "CDPConStartTime", std::to_string(s.con_start_time));
    add_text(n, "CDPStartTime", std::to_string(s.start_time));
    add_text(n, "CDPTimeout", std::to_string(s.interval));
  }
  xmlChar* mem = nullptr;
  int len = 0;
  xmlDocDumpFormatMemoryEnc(doc, &mem, &len, "utf-8", 1);
  std::string text(reinterpret_cast<const char*>(mem), static_cast<size_t>(len));
  xmlFree(mem);
  xmlFreeDoc(doc);
  return text;
}

bool QorConf::from_xml(const std::string& text, QorConf* conf) {
  xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return false;
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root == nullptr || !named(root, "Tidewell")) {
    xmlFreeDoc(doc);
    return false;
  }
  QorConf c;
  for (xmlNodePtr n = root->children; n; n = n->next) {
    if (named(n, "ClientGUID")) c.client_guid = content(n);
    else if (named(n, "ClientAlias")) c.client_alias = content(n);
    else if (named(n, "ClientPort")) c.client_port = atoi(content(n).c_str());
    else if (named(n, "ServerPort")) c.server_port = atoi(content(n).c_str());
    else if (named(n, "IPAddrFilter")) {
      for (xmlNodePtr ip = n->children; ip; ip = ip->next)
        if (named(ip, "IPAddr")) c.ip_filter.push_back(content(ip));
    } else if (named(n, "Manager")) {
      c.has_manager = true;
      c.manager_ips.clear();
      c.target_iqn.clear();
      for (xmlNodePtr m = n->children; m; m = m->next) {
        if (named(m, "ManagerGUID")) c.manager_guid = content(m);
        else if (named(m, "TargetIQN")) c.target_iqn = content(m);
        else if (named(m, "ManagerIPAddr")) c.manager_ips.push_back(content(m));
      }
    } else if (named(n, "DiskGroupList")) {
      for (xmlNodePtr g = n->children; g; g = g->next) {
        if (!named(g, "DiskGroup")) continue;
        Group grp;
        grp.name = attr(g, "GroupName");
        grp.con_start_time = number(attr(g, "CDPConStartTime"));
        grp.start_time = number(attr(g, "CDPStartTime"));
        grp.interval = static_cast<uint32_t>(number(attr(g, "CDPTimeout")));
        for (xmlNodePtr d = g->children; d; d = d->next)
          if (named(d, "Disk")) grp.members.push_back(attr(d, "DiskGUID"));
        c.groups.push_back(grp);
      }
    } else if (named(n, "CDPScheduleList")) {
      for (xmlNodePtr s = n->children; s; s = s->next) {
        if (!named(s, "CDPSchedule")) continue;
        Schedule sch;
        if (xmlNodePtr v = child(s, "CDPLocalLUN")) sch.local_guid = content(v);
        if (xmlNodePtr v = child(s, "CDPMirrorLUN")) sch.mirror_guid = content(v);
        if (xmlNodePtr v = child(s, "CDPConStartTime")) sch.con_start_time = number(content(v));
        if (xmlNodePtr v = child(s, "CDPStartTime")) sch.start_time = number(content(v));
        if (xmlNodePtr v = child(s, "CDPTimeout")) sch.interval = static_cast<uint32_t>(number(content(v)));
        c.schedules.push_back(sch);
      }
    }
  }
  xmlFreeDoc(doc);
  *conf = c;
  return true;
}

QorServer::QorServer(const std::string& host_dir) : dir_(host_dir) {
  default_answer_ = QorAnswer::reply(0);
  std::istringstream pidfile(read_text(dir_ + "/run/pid"));
  long pid = 0;
  unsigned long long start = 0;
  if (!(pidfile >> pid >> start) || pid <= 0)
    throw std::runtime_error("host " + dir_ + " is not running");
  first_pid_ = static_cast<pid_t>(pid);
  std::string proc = "/proc/" + std::to_string(first_pid_);
  netns_fd_ = open((proc + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  pidns_ = link_of(proc + "/ns/pid");
  if (netns_fd_ < 0 || pidns_.empty())
    throw std::runtime_error("host " + dir_ + ": " + proc + ": " + strerror(errno));
}

QorServer::~QorServer() {
  stop_listening();
  if (started_qorcd_) stop_qorcd();
  if (netns_fd_ >= 0) close(netns_fd_);
}

int QorServer::ns_socket(int domain, int type) const {
  // A socket belongs to the network namespace of the thread that made it;
  // a short-lived thread joins the host's and makes it there.
  int fd = -1, err = 0;
  std::thread t([&] {
    if (setns(netns_fd_, CLONE_NEWNET) != 0) {
      err = errno;
      return;
    }
    fd = socket(domain, type | SOCK_CLOEXEC, 0);
    if (fd < 0) err = errno;
  });
  t.join();
  errno = err;
  return fd;
}

int QorServer::connect_to(uint16_t port, std::string* error) const {
  std::string why;
  if (error == nullptr) error = &why;
  int fd = ns_socket(AF_INET, SOCK_STREAM);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, target_addr_.c_str(), &sa.sin_addr) != 1) {
    *error = "bad address " + target_addr_;
    close(fd);
    return -1;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = "connect " + target_addr_ + ":" + std::to_string(port) + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

QorReply QorServer::exchange(uint16_t port, const std::string& bytes) {
  QorReply r;
  int fd = connect_to(port, &r.error);
  if (fd < 0) return r;
  if (!write_all(fd, bytes.data(), bytes.size())) {
    r.error = std::string("send: ") + strerror(errno);
    close(fd);
    return r;
  }
  r.connected = true;
  if (!keep_open_) shutdown(fd, SHUT_WR);
  auto deadline = std::chrono::steady_clock::now() + reply_limit_;
  // Everything the peer sends, however long its head says the body is.
  r.closed = read_until(fd, &r.raw, kMaxBody + sizeof(QorHead), deadline);
  close(fd);
  if (r.raw.size() >= sizeof(QorHead)) {
    r.replied = true;
    r.head = head_of(r.raw);
    r.body = r.raw.substr(sizeof(QorHead), r.head.data_len);
  } else {
    r.head = kZeroHead;
  }
  return r;
}

QorReply QorServer::request(uint16_t port, uint32_t cmd, const std::string& document, uint16_t tag) {
  QorHead h;
  h.tag = tag;
  h.cmd = cmd;
  h.data_len = static_cast<uint32_t>(document.size());
  return send(port, h, document);
}

QorReply QorServer::send(uint16_t port, const QorHead& head, const std::string& body) {
  return exchange(port, bytes_of(head) + body);
}

QorReply QorServer::send_raw(uint16_t port, const std::string& bytes) { return exchange(port, bytes); }

void QorServer::listen(uint16_t port, const std::string& addr) {
  stop_listening();
  int fd = ns_socket(AF_INET, SOCK_STREAM);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0) {
    std::string why = strerror(errno);
    close(fd);
    throw std::runtime_error("listen on " + addr + ":" + std::to_string(port) + ": " + why);
  }
  std::lock_guard<std::mutex> l(mu_);
  stopping_ = false;
  listen_fd_ = fd;
  wake_fd_ = eventfd(0, EFD_CLOEXEC);
  acceptor_ = std::thread(&QorServer::accept_loop, this, fd);
}

void QorServer::accept_loop(int fd) {
  for (;;) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    int rc = poll(p, 2, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 || p[1].revents != 0) return;
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    auto at = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> l(mu_);
    if (stopping_) {
      close(c);
      return;
    }
    open_fds_.insert(c);
    workers_.emplace_back(&QorServer::serve, this, c, at);
  }
}

void QorServer::serve(int fd, std::chrono::steady_clock::time_point at) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestLimitMs);
  std::string raw;
  bool closed = read_until(fd, &raw, sizeof(QorHead), deadline);
  QorArrival a;
  a.at = at;
  a.head = head_of(raw);
  if (raw.size() == sizeof(QorHead)) {
    std::string body;
    size_t want = std::min<size_t>(a.head.data_len, kMaxBody);
    closed = read_until(fd, &body, want, deadline);
    a.body = body;
    a.complete = body.size() == a.head.data_len;
  }
  a.done = std::chrono::steady_clock::now();
  (void)closed;

  QorAnswer answer;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (raw.empty()) {
      ++empty_;
    } else {
      auto pos = std::upper_bound(arrivals_.begin(), arrivals_.end(), a,
                                  [](const QorArrival& x, const QorArrival& y) { return x.at < y.at; });
      arrivals_.insert(pos, a);
    }
    if (!a.complete) {
      answer = QorAnswer::hang_up();
    } else if (!script_.empty()) {
      answer = script_.front();
      script_.pop_front();
    } else {
      answer = default_answer_;
    }
  }
  std::string out;
  if (answer.kind == QorAnswer::kReply || answer.kind == QorAnswer::kHeld) {
    QorHead h;
    h.status = answer.status;
    h.tag = a.head.tag;
    h.cmd = a.head.cmd;
    h.data_len = static_cast<uint32_t>(answer.document.size());
    out = bytes_of(h) + answer.document;
  }
  if (answer.kind == QorAnswer::kReply) write_all(fd, out.data(), out.size());
  if (answer.kind == QorAnswer::kSilent && !answer.first_bytes.empty())
    write_all(fd, answer.first_bytes.data(), answer.first_bytes.size());
  std::lock_guard<std::mutex> l(mu_);
  open_fds_.erase(fd);
  const bool holds = answer.kind == QorAnswer::kSilent || answer.kind == QorAnswer::kHeld;
  if (holds && !stopping_)
    held_.push_back({fd, answer.kind == QorAnswer::kHeld ? out : std::string()});
  else
    close(fd);
}

void QorServer::answer_next(const QorAnswer& answer) {
  std::lock_guard<std::mutex> l(mu_);
  script_.push_back(answer);
}

void QorServer::answer_default(const QorAnswer& answer) {
  std::lock_guard<std::mutex> l(mu_);
  default_answer_ = answer;
}

std::vector<QorArrival> QorServer::arrivals() const {
  std::lock_guard<std::mutex> l(mu_);
  return arrivals_;
}

size_t QorServer::empty_connections() const {
  std::lock_guard<std::mutex> l(mu_);
  return empty_;
}

void QorServer::release_silent() {
  std::lock_guard<std::mutex> l(mu_);
  for (const Held& h : held_) {
    if (!stopping_ && !h.reply.empty()) write_all(h.fd, h.reply.data(), h.reply.size());
    close(h.fd);
  }
  held_.clear();
}

void QorServer::stop_listening() {
  std::vector<std::thread> workers;
  std::thread acceptor;
  {
    std::lock_guard<std::mutex> l(mu_);
    stopping_ = true;
    if (wake_fd_ >= 0) {
      uint64_t one = 1;
      ssize_t n = write(wake_fd_, &one, sizeof one);
      (void)n;
    }
    // Connections still being read end at once.
    for (int fd : open_fds_) shutdown(fd, SHUT_RDWR);
    acceptor.swap(acceptor_);
  }
  if (acceptor.joinable()) acceptor.join();
  {
    std::lock_guard<std::mutex> l(mu_);
    workers.swap(workers_);
  }
  for (std::thread& t : workers) t.join();
  release_silent();
  std::lock_guard<std::mutex> l(mu_);
  if (listen_fd_ >= 0) close(listen_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
  listen_fd_ = wake_fd_ = -1;
}

void QorServer::write_conf(const QorConf& conf) const {
  std::string text = conf.to_xml();
  ExecResult r = host_exec(dir_, {"/bin/sh", "-c", "mkdir -p \"$(dirname \"$1\")\" && cat > \"$1\"", "sh",
                                  kConfPath},
                           &text);
  if (r.status != 0) throw std::runtime_error("writing " + std::string(kConfPath) + ": " + r.out);
}

bool QorServer::read_conf(QorConf* conf) const {
  ExecResult r = host_exec(dir_, {"/bin/cat", kConfPath});
  return r.status == 0 && QorConf::from_xml(r.out, conf);
}

bool QorServer::port_listens(uint16_t port) const {
  // The host's network namespace, seen through its first process.
  std::istringstream in(read_text("/proc/" + std::to_string(first_pid_) + "/net/tcp"));
  std::string line;
  while (std::getline(in, line))
    if (parse_port_line(line, port)) return true;
  return false;
}

bool QorServer::start_qorcd(uint16_t port, const std::vector<std::string>& args, std::string* why,
                            std::chrono::milliseconds limit, const std::string& program) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  ExecResult r = host_exec(dir_, argv);
  if (r.status != 0) {
    if (why) *why = program + " exited " + std::to_string(r.status) + ": " + r.out;
    return false;
  }
  started_qorcd_ = true;
  if (eventually([&] { return port_listens(port); }, limit)) return true;
  if (why) *why = "nothing listens on port " + std::to_string(port);
  return false;
}

pid_t QorServer::outside_pid(pid_t host_pid) const {
  // /proc/N/status's NSpid ends with the pid as the innermost namespace
  // numbers it; only processes of the host's pid namespace count.
  DIR* d = opendir("/proc");
  if (d == nullptr) return 0;
  pid_t found = 0;
  while (struct dirent* e = readdir(d)) {
    pid_t n = static_cast<pid_t>(atoi(e->d_name));
    if (n <= 0) continue;
    if (link_of("/proc/" + std::to_string(n) + "/ns/pid") != pidns_) continue;
    std::istringstream ids(status_field(n, "NSpid"));
    std::string last, id;
    while (ids >> id) last = id;
    if (!last.empty() && atoi(last.c_str()) == host_pid) {
      found = n;
      break;
    }
  }
  closedir(d);
  return found;
}

std::vector<pid_t> QorServer::host_processes_with_parent(pid_t parent) const {
  std::vector<pid_t> kids;
  DIR* d = opendir("/proc");
  if (d == nullptr) return kids;
  while (struct dirent* e = readdir(d)) {
    pid_t n = static_cast<pid_t>(atoi(e->d_name));
    if (n <= 0) continue;
    if (atoi(status_field(n, "PPid").c_str()) == parent) kids.push_back(n);
  }
  closedir(d);
  return kids;
}

bool QorServer::stop_qorcd() {
  started_qorcd_ = false;
  std::string text = read_text(dir_ + "/upper/var/run/qorcd.pid");
  pid_t host_pid = static_cast<pid_t>(atoi(text.c_str()));
  if (host_pid <= 0) return true;
  pid_t sup = outside_pid(host_pid);
  if (sup <= 0) return true;
  // Stopped, the supervisor starts no new working process while its
  // children are looked for; it handles no signal, so each is killed.
  kill(sup, SIGSTOP);
  std::vector<pid_t> kids = host_processes_with_parent(sup);
  kill(sup, SIGKILL);
  for (pid_t k : kids) kill(k, SIGKILL);
  return eventually([&] {
    if (!process_gone(sup)) return false;
    for (pid_t k : kids)
      if (!process_gone(k)) return false;
    return true;
  });
}

}  // namespace testsupport
