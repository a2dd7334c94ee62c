#include "ctl_list.h"

#include <arpa/inet.h>
#include <string.h>
#include <time.h>

#include "qor_client.h"

namespace {

const char* or_dashes(const char* text) { return text != nullptr && text[0] != '\0' ? text : "--"; }

void print_schedule(FILE* out, const cdpsch* sch, const struct list_head* disks) {
  fputs("CDP Schedule:\n", out);
  const struct list_head* pos;
  list_for_each(pos, disks) {
    const qor_disk* disk = list_entry(pos, qor_disk, list);
    if (disk->guid == nullptr) continue;
    if (sch->local_guid != nullptr && strcmp(disk->guid, sch->local_guid) == 0)
      fprintf(out, "  Primary:     /dev/%s (%s)\n", disk->name, disk->guid);
    else if (sch->mirror_guid != nullptr && strcmp(disk->guid, sch->mirror_guid) == 0)
      fprintf(out, "  Mirror:      /dev/%s (%s)\n", disk->name, disk->guid);
  }
  time_t start = static_cast<time_t>(sch->start_time);
  tm local{};
  char when[64] = "";
  if (localtime_r(&start, &local) != nullptr)
    strftime(when, sizeof(when), "%Y/%m/%d %H:%M:%S", &local);
  fprintf(out, "  Start time:  %s\n", when);
  uint32_t t = sch->interval;
  if (t % 3600 != 0)
    fprintf(out, "  Interval:    %d (minute)\n", static_cast<int>(t / 60));
  else
    fprintf(out, "  Interval:    %d (hour)\n", static_cast<int>(t / 3600));
  fputs("\n", out);
}

}  // namespace

void ctl_print_list(FILE* out, const qor_t* qor, const struct list_head* disks) {
  fprintf(out, "Client: %s\n", qor->client_guid != nullptr ? qor->client_guid : "");
  fprintf(out, "  Alias: %s\n", or_dashes(qor->client_alias));
  fputs("\n", out);
  const qor_manager* mngr = qor->manager;
  fprintf(out, "Manager: %s\n", or_dashes(mngr != nullptr ? mngr->guid : nullptr));
  if (mngr != nullptr) {
    const struct list_head* pos;
    list_for_each(pos, &mngr->ips) {
      const ip_entry* ip = list_entry(pos, ip_entry, list);
      in_addr in{ip->addr};
      char dotted[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &in, dotted, sizeof(dotted));
      fprintf(out, "  ipaddress: %s\n", dotted);
    }
  }
  fputs("\n", out);
  const struct list_head* pos;
  list_for_each(pos, &qor->cdpschs) print_schedule(out, list_entry(pos, cdpsch, list), disks);
}
