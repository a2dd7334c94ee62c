// mirctl_probe: runs one mirctl command inside a simulated host against a
// stand-in daemon, then prints every request it sent as "REQ <hex>", so a
// test can check the bytes built from real disks.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fake_hm_server.h"
#include "mirctl.h"
#include "un_cmd.h"

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/mirctl-probe-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 2;
  std::string sock = std::string(tmpl) + "/hm_unix";
  int status;
  std::vector<std::string> requests;
  {
    testsupport::FakeHmServer daemon(sock, testsupport::FakeHmServer::Unscripted::kHangUp);
    for (int i = 0; i < 4; i++) daemon.push(testsupport::FakeHmServer::reply(0, 0));
    mirapi::set_socket_path_for_test(sock.c_str());
    status = mirctl_main(argc, argv);
    fflush(stdout);
    requests = daemon.requests();
  }
  rmdir(tmpl);
  for (const std::string& r : requests) {
    printf("REQ ");
    for (unsigned char c : r) printf("%02x", c);
    printf("\n");
  }
  return status;
}
