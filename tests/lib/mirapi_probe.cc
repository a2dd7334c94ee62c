// Runs the library's SCSI, size and identity routines on the disks of a
// simulated host and prints each result as "key=value" words on one line,
// so a test outside the host can check them.
//
//   mirapi_probe inquiry DEV | guid DEV | cap DEV | sysfs-size DEV |
//                device-size DEV | tur DEV | path DEV | direct DEV |
//                sig-get DEV | sig-set DEV HEX | find-sig HEX |
//                find-guid TEXT | id DEV | protect PRIMARY MIRROR [TAKEN]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "fake_hm_server.h"
#include "mirapi/mirapi.h"
#include "un_cmd.h"

namespace {

int usage() {
  fprintf(stderr, "usage: mirapi_probe COMMAND ARGS (see the source)\n");
  return 2;
}

std::string hex(const std::string& s) {
  std::string out;
  char b[4];
  for (unsigned char c : s) {
    snprintf(b, sizeof(b), "%02x", c);
    out += b;
  }
  return out;
}

// hm_disk_protect against a stand-in daemon inside the host: answers the
// status request with no protection (or with one whose mirror is taken)
// and the protect request with result 0, then prints the requests' bytes.
int protect(const char* primary, const char* mirror, const char* taken) {
  std::string path = "/tmp/mirapi_probe." + std::to_string(getpid());
  testsupport::FakeHmServer server(path);
  std::string status;
  if (taken) {
    hm_api_status_t rec;
    memset(&rec, 0, sizeof(rec));
    snprintf(rec.primary_guid, sizeof(rec.primary_guid), "%s", "00c0ffee-0000-0000-0000-000000000000");
    snprintf(rec.mirror_guid, sizeof(rec.mirror_guid), "%s", taken);
    status.assign(reinterpret_cast<const char*>(&rec), sizeof(rec));
  }
  server.push_reply(UN_CMD_API_GET_STATUS, 0, status);
  server.push_reply(SET_DISK_PROTECT, 0);
  mirapi::set_socket_path_for_test(path.c_str());
  int rc = hm_disk_protect(primary, mirror);
  auto reqs = server.requests();
  printf("rc=%d requests=%zu", rc, reqs.size());
  for (const auto& r : reqs) printf(" req=%s", hex(r).c_str());
  printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  std::string cmd = argv[1];
  const char* a = argv[2];
  // Level 7 to syslog: the host's /var/log/messages keeps the library's own
  // account of each call for a test that fails.
  set_log_level(LOG_DEBUG);

  if (cmd == "inquiry") {
    printf("zel=%d\n", volume_from_zelsolution(a));
  } else if (cmd == "guid") {
    char g[HM_NAME_LEN];
    memset(g, 0, sizeof(g));
    int rc = hm_scsi_get_guid(a, g, sizeof(g));
    printf("rc=%d guid=%s\n", rc, g);
  } else if (cmd == "cap" || cmd == "sysfs-size" || cmd == "device-size") {
    uint64_t size = 0;
    int rc = cmd == "cap"          ? device_size_scsi_read_cap(a, &size)
             : cmd == "sysfs-size" ? hm_get_disk_size_via_sysfs(a, &size)
                                   : device_size(a, &size);
    printf("rc=%d size=%llu\n", rc, static_cast<unsigned long long>(size));
  } else if (cmd == "tur") {
    printf("state=%d\n", check_path_tur(a));
  } else if (cmd == "path") {
    printf("state=%d\n", hm_check_path(a));
  } else if (cmd == "direct") {
    printf("rc=%d\n", hm_check_path_direct_read(a));
  } else if (cmd == "sig-get") {
    uint32_t sig = 0;
    int rc = get_volume_signature(a, &sig);
    printf("rc=%d sig=%08x\n", rc, sig);
  } else if (cmd == "sig-set" && argc > 3) {
    printf("rc=%d\n", write_volume_signature(a, static_cast<uint32_t>(strtoul(argv[3], nullptr, 16))));
  } else if (cmd == "find-sig") {
    char path[HM_NAME_LEN] = "";
    int rc = find_disk_by_signature(static_cast<uint32_t>(strtoul(a, nullptr, 16)), path);
    printf("rc=%d path=%s\n", rc, path);
  } else if (cmd == "find-guid") {
    char path[HM_NAME_LEN] = "";
    int rc = find_disk_by_uuid(a, path);
    printf("rc=%d path=%s\n", rc, path);
  } else if (cmd == "id") {
    char buf[HM_GUID_BUF_LEN] = "";
    int rc = get_guid_by_name(a, buf);
    printf("rc=%d id=%s\n", rc, buf);
  } else if (cmd == "protect" && argc > 3) {
    return protect(a, argv[3], argc > 4 ? argv[4] : nullptr);
  } else {
    return usage();
  }
  return 0;
}
