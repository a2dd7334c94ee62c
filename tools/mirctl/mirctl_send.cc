// mirctl's requests go through the library's sender; mirctl reports the
// sender's failures on standard output, where the administrator sees them.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mirctl.h"
#include "un_cmd.h"

namespace {

void print_socket_failed(int err) { printf("socket error: %s\n", strerror(err)); }
void print_connect_failed(int err) { printf("%s: make sure zelmird is running\n", strerror(err)); }
void print_exchange_failed(const char* note, int err) {
  printf("failed in: %s err: %s\n", note, strerror(err));
}

const mirapi::UnReport kPrintReport = {print_socket_failed, print_connect_failed,
                                       print_exchange_failed, true};

}  // namespace

int do_un_cmd(const void* req, int len, char** reply) {
  return mirapi::do_un_cmd(req, len, reply, kPrintReport);
}

int mirctl_send_and_report(const void* req, int len, int code) {
  char* reply;
  int ret = do_un_cmd(req, len, &reply);
  if (ret < 0) return ret;
  const hm_header_t* h = reinterpret_cast<const hm_header_t*>(reply);
  if (h->retcode != 0) {
    printf("cmd: %s failed: %s\n", hm_un_cmd_name(code),
           hm_un_retcode_text(h->retcode));
    ret = -h->retcode;
  } else {
    printf("cmd: %s success\n", hm_un_cmd_name(code));
    if (h->body_len != 0) printf("%d %s\n", h->body_len, reply + sizeof(*h));
  }
  free(reply);
  return ret;
}

int mirctl_print_reply(const char* reply) {
  const hm_header_t* h = reinterpret_cast<const hm_header_t*>(reply);
  if (h->retcode != 0) {
    printf("cmd: %s failed: %s\n", hm_un_cmd_name(h->cmd),
           hm_un_retcode_text(h->retcode));
    return -h->retcode;
  }
  if (h->body_len != 0)
    puts(reply + sizeof(*h));
  else
    printf("do cmd %s success\n", hm_un_cmd_name(h->cmd));
  return 0;
}

int mirctl_daemon_cmd(const void* req, int len) {
  char* reply;
  int ret = do_un_cmd(req, len, &reply);
  if (ret < 0) return ret;
  ret = mirctl_print_reply(reply);
  free(reply);
  return ret;
}
