// The client transport of the local host-mirror protocol: the one sender of
// libmirapi and mirctl. The two differ only in how they report a failure
// (libmirapi logs it, mirctl prints it for the administrator), so each passes
// its own report.
#ifndef ZELMIR_LIB_UN_CMD_H
#define ZELMIR_LIB_UN_CMD_H

namespace mirapi {

// How a caller reports the sender's failures; err is the errno of the step
// that failed.
struct UnReport {
  void (*socket_failed)(int err);
  void (*connect_failed)(int err);
  // A step after connecting failed; note names it ("writen cmd msg", ...).
  void (*exchange_failed)(const char *note, int err);
  // Log a received body at debug level too.
  bool log_body;
};

// libmirapi's report: every failure logged at LOG_ERR.
extern const UnReport kLogReport;

// One exchange on its own connection: writes the request, reads the reply
// header and body into one new buffer of 6 + body_len bytes (plus a zero
// byte after it, so a text body is always terminated) that the caller frees.
// 0; -1 when the exchange failed; -errno when connecting failed; -12 when the
// reply buffer cannot be allocated; the socket's result when none was made.
// *reply is null unless the result is 0.
int do_un_cmd(const void *req, int req_len, char **reply, const UnReport &report);
inline int do_un_cmd(const void *req, int req_len, char **reply) {
  return do_un_cmd(req, req_len, reply, kLogReport);
}

// Tests only: connect to path instead of the daemon's socket (null restores
// it).
void set_socket_path_for_test(const char *path);
// Tests only: the limit of a whole exchange in ms (0 restores it).
void set_exchange_limit_for_test(int ms);

}  // namespace mirapi

#endif  // ZELMIR_LIB_UN_CMD_H
