// Calls the outside libraries as the system does, one call per run, and
// prints what came back; whole-host tests run it inside a host.
//   outside_call disk-mark TEXT
//   outside_call grp-mark NAME [GUID:PATH]...     members marked with flag 1
//   outside_call list-app
//   outside_call db-set INSTANCE USER PASSWD HOME
//   outside_call delete-app INSTANCE
//   outside_call list-dev
//   outside_call delete-dev GUID
//   outside_call get-devs FLAG
//   outside_call rescan
//   outside_call part-type PATH
//   outside_call probe
// Every record it is given is freed the way its callers free them, so the
// leak checker sees whether the libraries hand over what they allocate.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "zel/zel_device.h"
#include "zel/zel_outside.h"
#include "zel/zeldisk.h"

namespace {

const char* t(const char* s) { return s ? s : "(null)"; }

int grp_mark(int argc, char** argv) {
  Zeldevgrp* g = static_cast<Zeldevgrp*>(calloc(1, sizeof(Zeldevgrp)));
  INIT_LIST_HEAD(&g->members);
  g->name = strdup(argv[0]);
  for (int i = 1; i < argc; i++) {
    std::string m = argv[i];
    size_t colon = m.find(':');
    Zeldev* d = static_cast<Zeldev*>(calloc(1, sizeof(Zeldev)));
    snprintf(d->guid, sizeof d->guid, "{%s}", m.substr(0, colon).c_str());
    d->flag = 1;
    d->path = strdup(m.substr(colon + 1).c_str());
    list_add_tail(&d->node, &g->members);
  }
  int r = zel_call_grp_markcdp(g);
  for (struct list_head* n = g->members.next; n != &g->members;) {
    Zeldev* d = list_entry(n, Zeldev, node);
    n = n->next;
    free(d->path);
    free(d);
  }
  free(g->name);
  free(g);
  printf("result=%d\n", r);
  return 0;
}

void free_app(ZelApp* a) {
  for (char* s : {a->instance_name, a->type_name, a->db_user, a->db_passwd, a->oracle_home, a->host,
                  a->port})
    free(s);
  free(a);
}

int list_app() {
  struct list_head apps;
  INIT_LIST_HEAD(&apps);
  int r = Zel_list_app(&apps);
  printf("result=%d\n", r);
  for (struct list_head* n = apps.next; n != &apps;) {
    ZelApp* a = list_entry(n, ZelApp, node);
    n = n->next;
    printf("instance=%s db_type=%d archive_log=%d type_name=%s db_user=%s passwd=%s "
           "oracle_home=%s host=%s port=%s\n",
           t(a->instance_name), a->db_type, a->archive_log, t(a->type_name), t(a->db_user),
           t(a->db_passwd), t(a->oracle_home), t(a->host), t(a->port));
    free_app(a);
  }
  return 0;
}

int db_set(char** argv) {
  ZelApp* a = static_cast<ZelApp*>(calloc(1, sizeof(ZelApp)));
  a->instance_name = strdup(argv[0]);
  a->db_type = 1;
  a->type_name = strdup("oracle");
  a->db_user = strdup(argv[1]);
  a->db_passwd = strdup(argv[2]);
  a->oracle_home = strdup(argv[3]);
  a->host = strdup("127.0.0.1");
  a->port = strdup("1521");
  int r = Zel_connect_db_flush_cfg(a);
  if (r == -1) free_app(a);  // otherwise the library's
  printf("result=%d\n", r);
  return 0;
}

int list_dev() {
  struct list_head devs;
  INIT_LIST_HEAD(&devs);
  int r = Zel_list_dev(&devs);
  printf("result=%d\n", r);
  for (struct list_head* n = devs.next; n != &devs;) {
    ZelDevEntry* d = list_entry(n, ZelDevEntry, node);
    n = n->next;
    printf("%s\n", t(d->guid));
    free(d->guid);
    free(d);
  }
  return 0;
}

int get_devs(int flag) {
  struct list_head devs;
  INIT_LIST_HEAD(&devs);
  int r = zeldisk_get_devs(&devs, flag);
  printf("result=%d\n", r);
  for (struct list_head* n = devs.next; n != &devs; n = n->next) {
    zeldisk_dev_t* d = list_entry(n, zeldisk_dev_t, node);
    printf("%s %s [%s] [%s] %llu valid=%d\n", t(d->name), t(d->path), t(d->vendor), t(d->model),
           static_cast<unsigned long long>(d->size), d->valid);
    for (struct list_head* m = d->parts.next; m != &d->parts; m = m->next) {
      zeldisk_part_t* p = list_entry(m, zeldisk_part_t, node);
      printf("  %s %s %s %llu %llu\n", t(p->name), t(p->guid), t(p->fs),
             static_cast<unsigned long long>(p->size), static_cast<unsigned long long>(p->used));
    }
  }
  zeldisk_free_devs(&devs);
  printf("empty=%d\n", devs.next == &devs && devs.prev == &devs);
  return 0;
}

int probe() {
  printf("result=%d\n", zel_device_probe_all(1));
  for (zel_device_t* d = zel_device_get_next(nullptr); d; d = zel_device_get_next(d))
    printf("%s %d %.*s\n", d->name, d->value, ZEL_DEVICE_BRACED_GUID_LEN, d->guid);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string cmd = argv[1];
  int n = argc - 2;
  char** a = argv + 2;
  if (cmd == "disk-mark" && n == 1) return printf("result=%d\n", zel_call_disk_markcdp(a[0])), 0;
  if (cmd == "grp-mark" && n >= 1) return grp_mark(n, a);
  if (cmd == "list-app" && n == 0) return list_app();
  if (cmd == "db-set" && n == 4) return db_set(a);
  if (cmd == "delete-app" && n == 1) return printf("result=%d\n", Zel_delete_app(a[0])), 0;
  if (cmd == "list-dev" && n == 0) return list_dev();
  if (cmd == "delete-dev" && n == 1) return printf("result=%d\n", Zel_delete_dev(0, a[0])), 0;
  if (cmd == "get-devs" && n == 1) return get_devs(atoi(a[0]));
  if (cmd == "rescan" && n == 0) return printf("result=%d\n", zeldisk_rescan_dev(0)), 0;
  if (cmd == "part-type" && n == 1) return printf("result=%d\n", get_part_type(a[0])), 0;
  if (cmd == "probe" && n == 0) return probe();
  fprintf(stderr, "outside_call: bad command\n");
  return 2;
}
