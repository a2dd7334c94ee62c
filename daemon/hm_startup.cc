#include "hm_startup.h"

#include <inttypes.h>
#include <stdio.h>
#include <syslog.h>

#include "hm_conf.h"
#include "hm_nl_client.h"
#include "hm_registry.h"
#include "mirapi/log.h"

static void print_vol(const char* role, const struct hmvol* v) {
  printf("%s", role);
  printf("\tdev:\t\t\t%s\n", v->name);
  printf("\tid_type:\t\t%u\n", (unsigned)v->id_type);
  printf("\tsignature:\t%x\n", v->vid.mbp_volumeid.signature);
  printf("\tuuid:\t\t\t%s\n", v->guid);
  printf("\tmajor:\t\t%u\n", (unsigned)v->major);
  printf("\tactive:\t\t%d\n", v->active);
  printf("\tsize:\t\t\t%" PRIu64 "\n", v->size);
}

static void print_registry(void) {
  struct list_head* pos;
  list_for_each(pos, &hmdev_registry.hmdev_list) {
    struct hmdev* d = list_entry(pos, struct hmdev, list);
    print_vol("primary: ", d->primary);
    print_vol("mirror: ", d->mirror);
  }
  fflush(stdout);
}

void hmdevs_check(void) {
  HM_LOG(LOG_DEBUG, "in");
  struct list_head* pos;
  // Alone before any other thread exists: no lock needed for the walk.
  list_for_each(pos, &hmdev_registry.hmdev_list) {
    struct hmdev* d = list_entry(pos, struct hmdev, list);
    d->primary->active = 0;
    update_hm_volume(d->primary);
    HM_LOG(LOG_DEBUG, "p_active: %d\n", d->primary->active);
    d->mirror->active = 0;
    update_hm_volume(d->mirror);
    HM_LOG(LOG_DEBUG, "m_active: %d\n", d->mirror->active);
    d->sector_max = (d->primary->size + 511) >> 9;
    d->nr_vol = (d->primary->active == 1) + (d->mirror->active == 1);
  }
}

void add_hmdevs_to_kernel(void) {
  pthread_mutex_lock(&hmdev_registry.list_lock);
  struct list_head* pos;
  list_for_each(pos, &hmdev_registry.hmdev_list) {
    struct hmdev* d = list_entry(pos, struct hmdev, list);
    if (d->primary->active == 0) {
      syslog(LOG_ERR, "dev: %s lost, not protected\n", d->primary->name);
    } else if (hmdev_stopped(d)) {
      HM_LOG(LOG_INFO, "hmdev %s  has stopped\n", d->primary->name);
    } else {
      hm_nl_set_protect(d);
    }
  }
  pthread_mutex_unlock(&hmdev_registry.list_lock);
}

void init_client_conf(void) {
  hmdev_registry_init();
  init_hmdev_info();
  HM_LOG(LOG_DEBUG, "READ CONFIG FILE FINISHED");
  print_registry();
  hmdevs_check();
  HM_LOG(LOG_DEBUG, "CHECK HMDEVS FINISHED");
  write_hmdevs_to_conf();
  add_hmdevs_to_kernel();
  HM_LOG(LOG_DEBUG, "ADD HMDEVS TO KERNEL FINISHED");
}

void daemon_init(void) {
  hm_nl_client_init();
  init_client_conf();
  auto_del_faulty_mirror_disk();
}
