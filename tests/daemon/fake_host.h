// A fake host for zelmird's unit tests: disks with identities, sizes and path
// states, a kernel module that records every netlink request and answers
// from a table, the outside mark library, and scratch directories in place of
// the daemon's fixed paths.
#ifndef ZELMIR_TESTS_DAEMON_FAKE_HOST_H
#define ZELMIR_TESTS_DAEMON_FAKE_HOST_H

#include <stdint.h>
#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hm_nl.h"

struct hmdev;
struct hm_work_queue;

namespace fake {

struct Disk {
  std::string guid;      // identity text ("" = cannot be read)
  uint64_t size = 64 << 20;
  int path_state = 2;    // 1 down, 2 ready, 3 standby
  bool lun = false;
  uint32_t signature = 0;
  bool partition = false;  // listed by sysfs, but no whole disk
};

struct NlRequest {
  int cmd;
  std::vector<unsigned char> body;  // msg_len bytes after the header
};

// What the fake module answers: a retcode per command, and the status body
// of Get Protection Status.
struct Kernel {
  std::mutex mu;
  std::vector<NlRequest> requests;
  std::map<int, uint32_t> retcode;
  hm_nl_status_t status{};
  std::vector<uint64_t> synced_sequence;  // successive sector_synced values
  bool down = false;                     // transport fails
  // Add Protection requests that still refuse the bitmap file; the one that
  // brings this to 0 installs it (status.bitmap_status becomes 1).
  int bitmap_refusals = 0;

  std::vector<int> commands();
  int count(int cmd);
};

extern std::map<std::string, Disk> disks;  // by device path
extern std::vector<std::string> block_names;
extern Kernel* kernel;

struct Mark {
  std::string name;
  int time_flag;
  int forbid_count_during;
};
extern std::vector<Mark> marks;  // under marks_mu: marks run on the workers
extern std::mutex marks_mu;
extern int mark_result;
// Marks begun so far; a mark, once begun, waits (bounded) until mark_until
// holds, if it is set, so a test can hold one mark while another begins.
extern std::atomic<int> marks_begun;
extern std::function<bool()> mark_until;
std::vector<Mark> marks_made();
// Waits (bounded) until n marks were made.
bool wait_marks(size_t n);
extern std::vector<std::string> script_runs;  // runs come from the workers too
// Runs of the boot image script, once every run asked for has ended.
size_t script_count();
// Forgets the runs made so far, once every run asked for has ended.
void script_reset();

// Waits (bounded) until the queue's worker has run everything queued so far
// and whatever that queued in turn: a marker item runs and finds nothing
// queued behind it, so nothing is left for the worker to do.  What a check
// of absence looks for afterwards was considered and not done.
bool drain(struct hm_work_queue* wq);

// Fills this process's descriptor table (its soft limit lowered to the last
// one taken) until release or destruction, which give everything back.
class FullFdTable {
 public:
  FullFdTable();
  ~FullFdTable() { release(); }
  void release();

 private:
  std::vector<int> held_;
  rlim_t old_cur_ = 0;
  bool full_ = false;
};

// Installs the fakes and points the daemon's paths into a fresh scratch dir;
// Teardown empties the registry and restores the defaults.
class Host : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string dir;  // scratch root
  std::string path(const std::string& rel) const { return dir + "/" + rel; }
  std::string read(const std::string& rel) const;
  void write(const std::string& rel, const std::string& content) const;

  // A disk in the fake host, and in /sys/block's list.
  void add_disk(const std::string& name, const Disk& d);
  // A registered protection of a plain primary (signature) and a LUN mirror.
  struct hmdev* add_protection(const std::string& pname, uint32_t sig, const std::string& mname,
                               const std::string& mguid, uint64_t status = 0);

  Kernel k;
};

std::string sig_guid(uint32_t sig);
hm_nl_status_t status_with(uint64_t status, bool p_in_sync, bool m_in_sync);

}  // namespace fake

#endif  // ZELMIR_TESTS_DAEMON_FAKE_HOST_H
