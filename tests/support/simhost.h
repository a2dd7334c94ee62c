// A simulated host for a test: created in a fresh directory, started, and always
// stopped and removed again, also when the test fails.
#ifndef ZELMIR_TESTS_SUPPORT_SIMHOST_H
#define ZELMIR_TESTS_SUPPORT_SIMHOST_H

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct ExecResult {
  int status;          // exit status of the command inside the host
  std::string out;     // its standard output and standard error, merged
};

class SimHost {
 public:
  // simhost create arguments, e.g. {"--disk", "sdb:64M", "--lun", "sdc:64M:GUID",
  // "--nic", "eth0:192.0.2.10/24"}.
  explicit SimHost(const std::vector<std::string>& disks, bool start = true);
  ~SimHost();                                    // stops (or crashes when stop fails), removes DIR
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  void start();
  void stop();
  void crash();

  ExecResult exec(const std::vector<std::string>& argv);   // simhost exec DIR -- argv...
  ExecResult simctl(const std::vector<std::string>& args); // simctl inside the host

  const std::string& dir() const;
  std::string image(const std::string& disk) const;       // DIR/disks/NAME.img
  // Path outside the host of a file the host wrote (its overlay's upper layer).
  std::string file(const std::string& path_in_host) const;
  // Reads a file of the host; empty when it does not exist.
  std::string read_file(const std::string& path_in_host) const;
  // Writes a file into the host (e.g. a stand-in's answer file, or the host's
  // own /etc/issue, /etc/redhat-release or /etc/mtab in place of this
  // machine's). A symlink at the path is replaced, not followed.
  void write_file(const std::string& path_in_host, const std::string& content) const;
  // simhost link between this running host and peer: each end "IF:ADDR/PFX",
  // e.g. link("eth1:10.9.0.1/24", server, "eth1:10.9.0.2/24").
  ExecResult link(const std::string& my_end, const SimHost& peer, const std::string& peer_end) const;
  // NBD URI of a disk for a client run inside the host with exec().
  std::string nbd_uri(const std::string& disk) const;

 private:
  ExecResult simhost(const std::vector<std::string>& args, const std::string* input = nullptr) const;
  void cleanup();

  std::string tmp_;          // the fresh temp dir that holds DIR
  std::string dir_;          // the host directory
  bool running_ = false;
  int watchdog_fd_ = -1;     // write end; its end of file without "done" crashes the host
};

// The build's directories: the system's programs (bin), its shared objects
// (lib), and the test programs and test-only modules (tests).
std::string bin_dir();
std::string lib_dir();
std::string tests_dir();
// The path of a test program, for exec() inside a host: hosts do not install
// test programs, they see the build at the same path through their overlay.
std::string test_program(const std::string& name);

// Writes an MBR partition table with one Linux partition (start and length in
// 512-byte sectors) into a disk image, creating it if need be; the host reads
// it when the disk is added or the host starts.  False when it cannot.
bool write_partition_table(const std::string& image, uint32_t start, uint32_t sectors);

// Runs a program (no shell) with the given standard input (or /dev/null);
// its standard output and error merged into the result.
ExecResult run_command(const std::vector<std::string>& argv, const std::string* input = nullptr);
// simhost exec DIR -- argv... for a running host known only by its directory.
ExecResult host_exec(const std::string& dir, const std::vector<std::string>& argv,
                     const std::string* input = nullptr);

}  // namespace testsupport

#endif  // ZELMIR_TESTS_SUPPORT_SIMHOST_H
