#include "fake_host.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <sstream>

#include "eventually.h"
#include "hm_conf.h"
#include "hm_nl_client.h"
#include "hm_registry.h"
#include "hm_sys.h"
#include "hm_unix_cmd.h"
#include "hm_workd.h"
#include "hm_workqueue.h"

namespace fake {

std::map<std::string, Disk> disks;
std::vector<std::string> block_names;
Kernel* kernel;
std::vector<Mark> marks;
std::mutex marks_mu;
int mark_result;
std::atomic<int> marks_begun;
std::function<bool()> mark_until;

std::vector<Mark> marks_made() {
  std::lock_guard<std::mutex> l(marks_mu);
  return marks;
}

bool wait_marks(size_t n) {
  return testsupport::eventually([n] { return marks_made().size() >= n; }, std::chrono::seconds(5),
                                 std::chrono::milliseconds(10));
}

namespace {

struct Marker {
  struct hm_work work;  // first: the worker hands back its address
  struct hm_work_queue* wq;
  std::atomic<int> seen{0};  // 1: ran with nothing behind it, 2: with work behind it
};

void marker_step(struct hm_work* w) {
  Marker* m = reinterpret_cast<Marker*>(w);
  pthread_mutex_lock(&m->wq->lock);
  bool idle = list_empty(&m->wq->works);
  pthread_mutex_unlock(&m->wq->lock);
  m->seen = idle ? 1 : 2;
}

}  // namespace

bool drain(struct hm_work_queue* wq) {
  static_assert(offsetof(Marker, work) == 0, "the marker is found from its work");
  for (int round = 0; round < 100; round++) {
    Marker* m = new Marker;
    m->work.step = marker_step;
    m->wq = wq;
    queue_work(wq, &m->work);
    if (!testsupport::eventually([m] { return m->seen.load() != 0; })) return false;  // m stays queued
    bool idle = m->seen == 1;
    delete m;
    if (idle) return true;
  }
  return false;
}
std::vector<std::string> script_runs;
static std::mutex script_mu;

void script_reset() {
  script_count();
  std::lock_guard<std::mutex> l(script_mu);
  script_runs.clear();
}

size_t script_count() {
  // The script runs on a thread of its own after the rewrite that asks for it.
  EXPECT_EQ(hm_boot_script_wait(5000), 0) << "a run of the boot image script still under way";
  std::lock_guard<std::mutex> l(script_mu);
  return script_runs.size();
}

std::vector<int> Kernel::commands() {
  std::lock_guard<std::mutex> l(mu);
  std::vector<int> v;
  for (auto& r : requests) v.push_back(r.cmd);
  return v;
}

int Kernel::count(int cmd) {
  std::lock_guard<std::mutex> l(mu);
  int n = 0;
  for (auto& r : requests) n += r.cmd == cmd;
  return n;
}

std::string sig_guid(uint32_t sig) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%08x-0000-0000-0000-000000000000", sig);
  return buf;
}

hm_nl_status_t status_with(uint64_t status, bool p_in_sync, bool m_in_sync) {
  hm_nl_status_t st;
  memset(&st, 0, sizeof(st));
  st.mode = 1;
  st.nr_vol = 2;
  st.status = status;
  st.bitmap_status = 1;
  st.primary.status = p_in_sync ? (1u << In_Sync) : (1u << Faulty);
  st.mirror.status = m_in_sync ? (1u << In_Sync) : (1u << Faulty);
  return st;
}

namespace {

const Disk* find(const char* dev) {
  auto it = disks.find(dev);
  return it == disks.end() ? nullptr : &it->second;
}

int guid_by_name(const char* dev, char* buf) {
  const Disk* d = find(dev);
  if (!d || d->path_state == 1 || d->guid.empty()) return -1;
  snprintf(buf, 128, "%s", d->guid.c_str());
  return 0;
}

int size_scsi(const char* dev, uint64_t* size) {
  const Disk* d = find(dev);
  if (!d || d->path_state == 1) return -1;
  *size = d->size;
  return 0;
}

int size_sysfs(const char* dev, uint64_t* size) {
  const Disk* d = find(dev);
  if (!d) return -1;
  *size = d->size;
  return 0;
}

int check_path(const char* dev) {
  const Disk* d = find(dev);
  return d ? d->path_state : 1;
}

int is_lun(const char* dev) {
  const Disk* d = find(dev);
  return d ? (d->lun ? 1 : 0) : -2;
}

int signature(const char* dev, uint32_t* sig) {
  const Disk* d = find(dev);
  if (!d) return -1;
  *sig = d->signature;
  return 0;
}

int scsi_guid(const char* dev, char* buf, size_t size) {
  const Disk* d = find(dev);
  if (!d || !d->lun) return -1;
  snprintf(buf, size, "%s", d->guid.c_str());
  return 0;
}

int file_exists(const char* path) { return find(path) != nullptr; }

int for_each_block(hm_dev_visit_fn fn, void* arg) {
  for (auto& n : block_names)
    if (fn(n.c_str(), arg)) break;
  return 0;
}

int for_each_disk(hm_dev_visit_fn fn, void* arg) {
  for (auto& n : block_names) {
    std::string path = "/dev/" + n;
    const Disk* d = find(path.c_str());
    if (!d || d->partition) continue;
    if (fn(path.c_str(), arg)) break;
  }
  return 0;
}

int for_each_cciss(hm_dev_visit_fn, void*) { return -1; }

int run(const char* cmd) {
  std::lock_guard<std::mutex> l(script_mu);
  script_runs.push_back(cmd);
  return 0;
}

int transport(const void* msg, int len, void* reply, int reply_len) {
  Kernel* k = kernel;
  hm_nl_header_t h;
  memcpy(&h, msg, sizeof(h));
  NlRequest r;
  r.cmd = h.cmd;
  const unsigned char* b = static_cast<const unsigned char*>(msg) + sizeof(h);
  r.body.assign(b, b + (len - (int)sizeof(h)));
  std::lock_guard<std::mutex> l(k->mu);
  k->requests.push_back(r);
  if (k->down) return -1;
  if (h.cmd == HM_NL_CMD_ADD_PROTECT && k->bitmap_refusals > 0 && --k->bitmap_refusals == 0)
    k->status.bitmap_status = 1;
  uint32_t rc = k->retcode.count(h.cmd) ? k->retcode[h.cmd] : 0;
  if (reply) {
    unsigned char out[12 + sizeof(hm_nl_status_t)] = {0};
    hm_nl_header_t rh{};
    rh.cmd = h.cmd;
    rh.retcode = rc;
    rh.magic = HM_NL_MAGIC;
    rh.msg_len = sizeof(hm_nl_status_t);
    hm_nl_status_t st = k->status;
    if (!k->synced_sequence.empty()) {
      st.sector_synced = k->synced_sequence.front();
      if (k->synced_sequence.size() > 1) k->synced_sequence.erase(k->synced_sequence.begin());
    }
    memcpy(out, &rh, sizeof(rh));
    memcpy(out + 12, &st, sizeof(st));
    memcpy(reply, out, std::min<size_t>(reply_len, sizeof(out)));
  }
  if (rc == 0) return 0;
  int32_t code = (int32_t)rc;
  return code < 0 ? code : -code;
}

int o_log_init(const char*) { return 0; }
int o_set(int) { return 0; }
int o_parse(const char*) { return 0; }
int o_mark(const char* name, int time_flag) {
  int during = hm_nl_forbid_count();
  marks_begun++;
  if (mark_until) testsupport::eventually(mark_until, std::chrono::seconds(5), std::chrono::milliseconds(1));
  std::lock_guard<std::mutex> l(marks_mu);
  marks.push_back({name, time_flag, during});
  return mark_result;
}

}  // namespace

FullFdTable::FullFdTable() {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  old_cur_ = lim.rlim_cur;
  int fd;
  while ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && held_.size() < 4096) held_.push_back(fd);
  if (fd >= 0) close(fd);
  lim.rlim_cur = held_.empty() ? 16 : (rlim_t)held_.back() + 1;
  full_ = setrlimit(RLIMIT_NOFILE, &lim) == 0;
  EXPECT_TRUE(full_);
  EXPECT_LT(open("/dev/null", O_RDONLY | O_CLOEXEC), 0) << "the table is full";
}

void FullFdTable::release() {
  if (full_) {
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = old_cur_;
    setrlimit(RLIMIT_NOFILE, &lim);
    full_ = false;
  }
  for (int fd : held_) close(fd);
  held_.clear();
}

void Host::SetUp() {
  char tmpl[] = "/tmp/zelmird-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir = tmpl;
  mkdir(path("conf").c_str(), 0755);
  mkdir(path("boot").c_str(), 0755);
  mkdir(path("boot/vyrbitmap").c_str(), 0755);
  static std::string conf_dir, boot_reg, option_file, bitmap_dir, boot_dir, sys_dir;
  mkdir(path("sys").c_str(), 0755);
  sys_dir = path("sys");
  g_hm_paths.sys_dir = sys_dir.c_str();
  conf_dir = path("conf/");
  boot_reg = path("boot/hmdevs.reg");
  option_file = path("conf/zelmir.conf");
  bitmap_dir = path("boot/vyrbitmap");
  boot_dir = path("boot");
  g_hm_paths.conf_dir = conf_dir.c_str();
  g_hm_paths.boot_reg = boot_reg.c_str();
  g_hm_paths.option_file = option_file.c_str();
  g_hm_paths.bitmap_dir = bitmap_dir.c_str();
  g_hm_paths.boot_dir = boot_dir.c_str();
  g_hm_paths.boot_script = "update_bootimage.sh";
  g_disk_ops = {guid_by_name, size_scsi, size_sysfs, check_path, is_lun, signature,
                scsi_guid,    file_exists, for_each_block, for_each_disk, for_each_cciss, run};
  g_outside_ops = {o_log_init, o_set, o_set, o_parse, o_mark};
  g_hm_nl_transport = transport;
  kernel = &k;
  disks.clear();
  block_names.clear();
  {
    std::lock_guard<std::mutex> l(marks_mu);
    marks.clear();
  }
  mark_result = 0;
  marks_begun = 0;
  mark_until = nullptr;
  script_reset();
  g_resync_poll_sleep_us = 1000;
  g_kern_task_retry_us = 1000;
  memset(g_auto_del_faulty_mirror_disk, 0, sizeof(g_auto_del_faulty_mirror_disk));
  hmdev_registry_init();
  hm_nl_client_init();
}

void Host::TearDown() {
  while (!list_empty(&hmdev_registry.hmdev_list)) {
    struct hmdev* d = list_first_entry(&hmdev_registry.hmdev_list, struct hmdev, list);
    hmdev_list_del(d);
    hmdev_put(d);
  }
  hmdev_registry.conf_damaged = 0;
  hm_sys_reset();
  g_hm_nl_transport = do_cmd_with_kernel;
  kernel = nullptr;
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir;
}

std::string Host::read(const std::string& rel) const {
  std::ifstream f(path(rel), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void Host::write(const std::string& rel, const std::string& content) const {
  std::ofstream f(path(rel), std::ios::binary);
  f << content;
}

void Host::add_disk(const std::string& name, const Disk& d) {
  disks["/dev/" + name] = d;
  block_names.push_back(name);
}

struct hmdev* Host::add_protection(const std::string& pname, uint32_t sig,
                                   const std::string& mname, const std::string& mguid,
                                   uint64_t status) {
  volume_id_t vid{};
  vid.mbp_volumeid.signature = sig;
  struct hmvol* p = hm_volume_create(pname.c_str(), HMVOL_PRIMARY, HMVOL_ID_SIGNATURE, &vid);
  EXPECT_NE(p, nullptr) << pname;
  struct hmdev* dev = hmdev_create(p);
  dev->mode = 1;
  struct hmvol* m = hm_volume_create(mname.c_str(), HMVOL_MIRROR, HMVOL_ID_GUID, mguid.c_str());
  EXPECT_NE(m, nullptr) << mname;
  dev->mirror = m;
  dev->nr_vol = 2;
  p->hmdev = m->hmdev = dev;
  dev->status = status;
  hmdev_list_add(dev);
  return dev;
}

}  // namespace fake
