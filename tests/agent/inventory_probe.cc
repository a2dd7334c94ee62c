// inventory_probe: runs the agent's inventory inside a host and prints what
// it found, one line per item, for the host tests to compare.
//   inventory_probe init          g_client built as qorcd builds it at start
//   inventory_probe refresh [CMD] built, CMD run through the shell, then
//                                 refreshed once
//   inventory_probe guid PATH LUN the disk's GUID ("(null)" for none)
//   inventory_probe online GUID   1 or 0
//   inventory_probe sign PATH...  set_unique_signature of every path at once,
//                                 each on a thread of its own
//   inventory_probe test-client   qor_test_client's record, printed as init's
//   inventory_probe inis          qor_get_inis: "appended N", then the channels
//   inventory_probe devs          qor_get_devs: "result N", then "dev GUID" each
//   inventory_probe sign-after-loss PATH
//                                 set_unique_signature of PATH after valid
//                                 disks went away, so that its enumeration
//                                 runs "zeldisk -r"
// The configuration is the host's qorcd.conf when there is one.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "mirapi/log.h"
#include "qor_diskid.h"
#include "qor_inventory.h"
#include "qor_model.h"
#include "zel/zel_app.h"
#include "zel/zel_outside.h"

namespace {

const char* text(const char* s) { return s ? s : "(null)"; }

void print_channels(const struct list_head* chns) {
  const struct list_head* pos;
  list_for_each(pos, chns) {
    const qor_channel* ch = list_entry(pos, qor_channel, list);
    printf("channel type=%d initiator=%s target=%s\n", ch->type, text(ch->initiator), text(ch->target));
  }
}

void print_client(const qor_client& c) {
  printf("id %s\n", text(c.id));
  printf("hostname %s\n", text(c.hostname));
  printf("alias %s\n", text(c.alias));
  printf("os %s\n", text(c.os_version));
  printf("system_type %u\n", c.system_type);
  printf("dboem %d\n", c.dboem);
  printf("disk_num %d\n", c.disk_num);
  struct list_head* pos;
  list_for_each(pos, &c.ips) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &list_entry(pos, ip_entry, list)->addr, buf, sizeof buf);
    printf("ip %s\n", buf);
  }
  list_for_each(pos, &c.disks) {
    const qor_disk* d = list_entry(pos, qor_disk, list);
    printf("disk name=%s path=%s guid=%s storage=%d size=%llu used=%llu fs=%s vendor=%s state=%d "
           "part_type=%d sysdisk=%d\n",
           text(d->name), text(d->path), text(d->guid), d->on_storage,
           static_cast<unsigned long long>(d->size), static_cast<unsigned long long>(d->used),
           text(d->fs), text(d->vendor), d->state, d->part_type, is_boot_dev(d->path));
    struct list_head* p;
    list_for_each(p, &d->parts) {
      const qor_part* part = list_entry(p, qor_part, list);
      printf("part name=%s guid=%s index=%d size=%llu used=%llu fs=%s state=%d\n", text(part->name),
             text(part->guid), part->index, static_cast<unsigned long long>(part->size),
             static_cast<unsigned long long>(part->used), text(part->fs), part->state);
    }
  }
  print_channels(&c.channels);
  list_for_each(pos, &c.backups) {
    const qor_backup* b = list_entry(pos, qor_backup, list);
    printf("backup type=%u state=%u percent=%u speed=%d src=%s dest=%s name=%s con=%llu start=%llu "
           "interval=%u\n",
           b->type, b->state, b->percent, b->speed, b->src_guid, b->dest_guid, b->src_name,
           static_cast<unsigned long long>(b->con_start_time),
           static_cast<unsigned long long>(b->start_time), b->interval);
  }
  list_for_each(pos, &c.apps) {
    const ZelApp* a = list_entry(pos, ZelApp, node);
    printf("app instance=%s type=%d\n", text(a->instance_name), a->db_type);
  }
}

}  // namespace

int main(int argc, char** argv) {
  log_init("inventory_probe", 0, 7, 0);
  std::string mode = argc > 1 ? argv[1] : "";
  if ((mode == "init" && argc == 2) || (mode == "refresh" && argc <= 3)) {
    g_qor = qor_load_config();
    g_client_init();
    if (argc == 3 && system(argv[2]) != 0) fprintf(stderr, "%s failed\n", argv[2]);
    if (mode == "refresh") g_client_refresh();
    print_client(g_client);
    return 0;
  }
  if (mode == "guid" && argc == 4) {
    char* guid = get_disk_guid(argv[2], atoi(argv[3]));
    printf("%s\n", text(guid));
    free(guid);
    return 0;
  }
  if (mode == "online" && argc == 3) {
    printf("%d\n", qor_guid_online(argv[2]));
    return 0;
  }
  if (mode == "sign" && argc >= 3) {
    std::vector<std::thread> signers;
    for (int i = 2; i < argc; ++i) signers.emplace_back(set_unique_signature, argv[i]);
    for (std::thread& t : signers) t.join();
    return 0;
  }
  if (mode == "test-client" && argc == 2) {
    g_qor = qor_load_config();
    qor_client* c = qor_test_client(g_qor);
    if (c == nullptr) return 1;
    print_client(*c);
    client_free(c);
    return 0;
  }
  if (mode == "inis" && argc == 2) {
    struct list_head inis;
    INIT_LIST_HEAD(&inis);
    printf("appended %d\n", qor_get_inis(&inis));
    print_channels(&inis);
    channel_list_free(&inis);
    return 0;
  }
  if (mode == "devs" && argc == 2) {
    struct list_head devs;
    INIT_LIST_HEAD(&devs);
    printf("result %d\n", qor_get_devs(&devs));
    struct list_head* pos;
    list_for_each(pos, &devs) printf("dev %s\n", text(list_entry(pos, ZelDevEntry, node)->guid));
    dev_list_free(&devs);
    return 0;
  }
  if (mode == "sign-after-loss" && argc == 3) {
    g_client.disk_num = INT32_MAX;
    set_unique_signature(argv[2]);
    return 0;
  }
  fprintf(stderr,
          "usage: inventory_probe init|refresh | guid PATH LUN | online GUID | sign PATH... | "
          "sign-after-loss PATH | test-client | inis | devs\n");
  return 2;
}
