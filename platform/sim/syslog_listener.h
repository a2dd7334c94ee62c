// The host's syslog: a unix datagram socket at /dev/log whose every message
// is appended, priority and all, as one line of /var/log/messages.
#ifndef ZELMIR_SIM_SYSLOG_LISTENER_H
#define ZELMIR_SIM_SYSLOG_LISTENER_H

#include <string>
#include <thread>

namespace sim {

class SyslogListener {
 public:
  // 0 or -errno; serves from its own thread until the process ends.
  int start(const std::string& socket_path, const std::string& log_path);

  // The line written for one datagram: the message as sent ("<PRI>..."),
  // trailing NULs and newlines dropped, inner newlines kept apart by blanks.
  static std::string line_for(const char* msg, size_t len);

 private:
  void run();
  int fd_ = -1;
  std::string log_path_;
  std::thread thread_;
};

}  // namespace sim

#endif  // ZELMIR_SIM_SYSLOG_LISTENER_H
