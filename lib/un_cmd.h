// The client transport of the local host-mirror protocol.
#ifndef ZELMIR_LIB_UN_CMD_H
#define ZELMIR_LIB_UN_CMD_H

namespace mirapi {

// One exchange on its own connection: writes the request, reads the reply
// header and body into one new buffer of 6 + body_len bytes (plus a zero
// byte after it, so a text body is always terminated) that the caller frees.
// 0; -1 when the exchange failed; -errno when connecting failed; -12 when the
// reply buffer cannot be allocated; the socket's result when none was made.
int do_un_cmd(const void *req, int req_len, char **reply);

// The path do_un_cmd connects to.
const char *un_socket_path();

}  // namespace mirapi

#endif  // ZELMIR_LIB_UN_CMD_H
