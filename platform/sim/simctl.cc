// simctl: the host's console to its kernel, simkernel, over the control socket.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "clock_keeper.h"
#include "ctl_proto.h"
#include "host_config.h"

namespace {

const char kUsage[] =
    "usage: simctl COMMAND [ARG...]\n"
    "  disks                          list disks and partitions\n"
    "  disk add NAME SIZE [--lun GUID] add a disk (SIZE in bytes or with K, M or G)\n"
    "  disk remove NAME               hot-unplug a disk\n"
    "  disk rename OLD NEW            give a disk a new name\n"
    "  disk fail NAME read|write|all  make I/O to a disk fail\n"
    "  disk heal NAME                 end failures and offline\n"
    "  disk offline NAME              take a disk offline\n"
    "  disk hold NAME                 hold a disk or partition, as a mount does\n"
    "  disk unhold NAME               let it go again\n"
    "  disk knob NAME KNOB            set a test knob of a LUN's SCSI model\n"
    "  insmod [PATH]                  load the module (default: the configured one)\n"
    "  rmmod                          unload the module\n"
    "  reboot                         run the reboot notifier chain\n"
    "  dmesg                          print the kernel log\n"
    "  log                            print the host's syslog (/var/log/messages)\n"
    "  clock advance SECONDS          move the host's clocks forward (e.g. 3600, 0.5)\n"
    "  clock set-wall EPOCH           set the host's wall clock (seconds since 1970)\n"
    "  iscsi session add IQN [IFACE]  log a session to a target in (/sys/class/iscsi_session)\n"
    "  iscsi session remove IQN [IFACE]  end the target's sessions (through IFACE only)\n"
    "  fc add NAME WWN                add an FC host port (/sys/class/fc_host)\n"
    "  fc remove NAME [WWN]           remove an FC host port\n"
    "  uevent ACTION NAME [--devtype T] [--no-node]\n"
    "                                 announce a block device's event, disks unchanged\n";

int usage() {
  fputs(kUsage, stderr);
  return 2;
}

// Sends one request; prints what came back. Exit status 0 on success.
int run(uint16_t op, const std::string& payload, bool print) {
  int result = 0;
  std::string reply;
  int rc = ctlproto::call(ctlproto::kSocketPath, op, payload, &result, &reply);
  if (rc < 0) {
    fprintf(stderr, "simctl: cannot reach simkernel at %s: %s\n", ctlproto::kSocketPath,
            strerror(-rc));
    return 1;
  }
  if (result < 0) {
    fprintf(stderr, "simctl: %s\n", reply.empty() ? strerror(-result) : reply.c_str());
    return 1;
  }
  if (print) fwrite(reply.data(), 1, reply.size(), stdout);
  return 0;
}

std::string names(const std::vector<std::string>& v) {
  ctlproto::Writer w;
  for (const auto& s : v) w.str(s);
  return w.take();
}

int disk(const std::vector<std::string>& a) {
  if (a.empty()) return usage();
  const std::string& sub = a[0];
  size_t n = a.size();
  if (sub == "add") {
    if (n != 3 && !(n == 5 && a[3] == "--lun")) return usage();
    uint64_t size;
    if (!sim::parse_size(a[2], &size) || size % 512) {
      fprintf(stderr, "simctl: bad size '%s' (a multiple of 512 bytes, or with K, M or G)\n",
              a[2].c_str());
      return 2;
    }
    ctlproto::Writer w;
    w.str(a[1]);
    w.u64(size);
    w.str(n == 5 ? a[4] : "");
    return run(ctlproto::kDiskAdd, w.data(), false);
  }
  if (sub == "remove" && n == 2) return run(ctlproto::kDiskRemove, names({a[1]}), false);
  if (sub == "rename" && n == 3) return run(ctlproto::kDiskRename, names({a[1], a[2]}), false);
  if (sub == "heal" && n == 2) return run(ctlproto::kDiskHeal, names({a[1]}), false);
  if (sub == "offline" && n == 2) return run(ctlproto::kDiskOffline, names({a[1]}), false);
  if ((sub == "hold" || sub == "unhold") && n == 2) {
    ctlproto::Writer w;
    w.str(a[1]);
    w.u8(sub == "hold" ? 1 : 0);
    return run(ctlproto::kDiskHold, w.data(), false);
  }
  if (sub == "knob" && n == 3) return run(ctlproto::kDiskKnob, names({a[1], a[2]}), false);
  if (sub == "fail" && n == 3) {
    uint8_t mode = a[2] == "read" ? 1 : a[2] == "write" ? 2 : a[2] == "all" ? 3 : 0;
    if (!mode) {
      fprintf(stderr, "simctl: fail mode must be read, write or all\n");
      return 2;
    }
    ctlproto::Writer w;
    w.str(a[1]);
    w.u8(mode);
    return run(ctlproto::kDiskFail, w.data(), false);
  }
  return usage();
}

int clock(const std::vector<std::string>& a) {
  if (a.size() != 2 || (a[0] != "advance" && a[0] != "set-wall")) return usage();
  int64_t ns;
  if (!sim::parse_seconds(a[1], &ns)) {
    fprintf(stderr, "simctl: bad number of seconds '%s'\n", a[1].c_str());
    return 2;
  }
  ctlproto::Writer w;
  w.u64(static_cast<uint64_t>(ns));
  return run(a[0] == "advance" ? ctlproto::kClockAdvance : ctlproto::kClockSetWall, w.data(), false);
}

int iscsi(const std::vector<std::string>& a) {
  if (a.size() < 3 || a.size() > 4 || a[0] != "session" || (a[1] != "add" && a[1] != "remove"))
    return usage();
  return run(a[1] == "add" ? ctlproto::kIscsiSessionAdd : ctlproto::kIscsiSessionRemove,
             names({a[2], a.size() == 4 ? a[3] : ""}), false);
}

int fc(const std::vector<std::string>& a) {
  if (a.size() == 3 && a[0] == "add") return run(ctlproto::kFcAdd, names({a[1], a[2]}), false);
  if ((a.size() == 2 || a.size() == 3) && a[0] == "remove")
    return run(ctlproto::kFcRemove, names({a[1]}), false);
  return usage();
}

int uevent(const std::vector<std::string>& a) {
  if (a.size() < 2) return usage();
  std::string devtype;
  uint8_t flags = 0;
  for (size_t i = 2; i < a.size(); ++i) {
    if (a[i] == "--devtype" && i + 1 < a.size()) {
      devtype = a[++i];
    } else if (a[i] == "--no-node") {
      flags |= ctlproto::kUeventNoNode;
    } else {
      return usage();
    }
  }
  ctlproto::Writer w;
  w.str(a[0]);
  w.str(a[1]);
  w.str(devtype);
  w.u8(flags);
  return run(ctlproto::kUevent, w.data(), false);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.empty() || a[0] == "-h" || a[0] == "--help") return usage();
  const std::string cmd = a[0];
  std::vector<std::string> rest(a.begin() + 1, a.end());
  if (cmd == "disks" && rest.empty()) return run(ctlproto::kDisks, "", true);
  if (cmd == "disk") return disk(rest);
  if (cmd == "insmod" && rest.size() <= 1)
    return run(ctlproto::kInsmod, names({rest.empty() ? "" : rest[0]}), false);
  if (cmd == "rmmod" && rest.empty()) return run(ctlproto::kRmmod, "", false);
  if (cmd == "reboot" && rest.empty()) return run(ctlproto::kReboot, "", false);
  if (cmd == "dmesg" && rest.empty()) return run(ctlproto::kDmesg, "", true);
  if (cmd == "log" && rest.empty()) return run(ctlproto::kLog, "", true);
  if (cmd == "clock") return clock(rest);
  if (cmd == "iscsi") return iscsi(rest);
  if (cmd == "fc") return fc(rest);
  if (cmd == "uevent") return uevent(rest);
  return usage();
}
