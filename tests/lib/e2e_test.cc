// The library's SCSI, size and identity routines on the disks of one
// simulated host, run inside it through mirapi_probe.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "simhost.h"

namespace {

using testsupport::SimHost;

const char kGuid1[] = "6a1f0c3e-5b7d-4e21-9c3a-0d4e5f607182";   // sdc
const char kGuid2[] = "7b2e1d4f-6c8e-4f32-8d4b-1e5f60718293";   // sde
const uint32_t kSigB = 0x5ee0b001;      // sdb, the partitioned plain disk
const uint32_t kSigPart = 0x5ee0b0a1;   // what sits at byte 440 of sdb1
const uint64_t kMiB = 1024 * 1024;

// The value of "key=" in a probe's output line ("" when absent).
std::string kv(const std::string& out, const std::string& key) {
  std::string pat = key + "=";
  size_t p = 0;
  while ((p = out.find(pat, p)) != std::string::npos) {
    if (p == 0 || out[p - 1] == ' ' || out[p - 1] == '\n') {
      size_t e = out.find_first_of(" \n", p);
      return out.substr(p + pat.size(), e == std::string::npos ? e : e - p - pat.size());
    }
    p += pat.size();
  }
  return "";
}

void put_le32(std::fstream& f, uint64_t off, uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  f.seekp(static_cast<std::streamoff>(off));
  f.write(reinterpret_cast<char*>(b), 4);
}

uint32_t get_le32(const std::string& image, uint64_t off) {
  std::ifstream f(image, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(off));
  unsigned char b[4] = {};
  f.read(reinterpret_cast<char*>(b), 4);
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

class LibE2e : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ = std::make_unique<SimHost>(
        std::vector<std::string>{"--disk", "sdb:64M", "--lun", std::string("sdc:64M:") + kGuid1,
                                 "--disk", "sdd:8M", "--lun", std::string("sde:32M:") + kGuid2},
        false);
    // sdb: signed, with one partition from 1 MiB whose own byte 440 holds
    // another value, which no lookup may take for a disk signature.
    std::fstream f(host_->image("sdb"), std::ios::in | std::ios::out | std::ios::binary);
    put_le32(f, 440, kSigB);
    unsigned char entry[16] = {0, 0, 0, 0, 0x83, 0, 0, 0};
    f.seekp(446);
    f.write(reinterpret_cast<char*>(entry), 8);
    put_le32(f, 446 + 8, 2048);
    put_le32(f, 446 + 12, 16384);
    f.seekp(510);
    f.write("\x55\xaa", 2);
    put_le32(f, 2048 * 512 + 440, kSigPart);
    f.close();
    host_->start();
  }
  static void TearDownTestSuite() { host_.reset(); }

  static std::string probe(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testsupport::test_program("mirapi_probe")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = host_->exec(argv);
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
  }
  static void simctl(const std::vector<std::string>& args) {
    auto r = host_->simctl(args);
    ASSERT_EQ(r.status, 0) << r.out;
  }

  static std::unique_ptr<SimHost> host_;
};

std::unique_ptr<SimHost> LibE2e::host_;

TEST_F(LibE2e, InquiryVpdAndCapacity) {
  EXPECT_EQ(kv(probe({"inquiry", "/dev/sdc"}), "zel"), "1");
  EXPECT_EQ(kv(probe({"inquiry", "/dev/sdb"}), "zel"), "0");

  std::string out = probe({"guid", "/dev/sdc"});
  EXPECT_EQ(kv(out, "rc"), "0") << out;
  EXPECT_EQ(kv(out, "guid"), kGuid1);
  EXPECT_NE(kv(probe({"guid", "/dev/sdb"}), "rc"), "0");   // no GUID designator

  EXPECT_EQ(kv(probe({"cap", "/dev/sdc"}), "size"), std::to_string(64 * kMiB));
  EXPECT_EQ(kv(probe({"cap", "/dev/sde"}), "size"), std::to_string(32 * kMiB));
  out = probe({"sysfs-size", "/dev/sdb"});
  EXPECT_EQ(kv(out, "rc"), "0") << out;
  EXPECT_EQ(kv(out, "size"), std::to_string(64 * kMiB));
  EXPECT_EQ(kv(probe({"sysfs-size", "sdd"}), "size"), std::to_string(8 * kMiB));
  EXPECT_EQ(kv(probe({"device-size", "/dev/sdd"}), "size"), std::to_string(8 * kMiB));
}

TEST_F(LibE2e, PathStateOfHealthyDisks) {
  EXPECT_EQ(kv(probe({"tur", "/dev/sdc"}), "state"), "2");
  EXPECT_EQ(kv(probe({"path", "/dev/sdc"}), "state"), "2");
  EXPECT_NE(kv(probe({"path", "/dev/sdb"}), "state"), "1");
  EXPECT_EQ(kv(probe({"direct", "/dev/sdb"}), "rc"), "0");
}

TEST_F(LibE2e, SignatureRoundTrip) {
  std::string out = probe({"sig-get", "/dev/sdd"});
  EXPECT_EQ(kv(out, "rc"), "0") << out;
  EXPECT_EQ(kv(out, "sig"), "00000000");
  // Never signed: no identity, and signature 0 finds nothing.
  EXPECT_EQ(kv(probe({"id", "/dev/sdd"}), "rc"), "-1");
  EXPECT_EQ(kv(probe({"find-sig", "0"}), "rc"), "-1");

  EXPECT_EQ(kv(probe({"sig-set", "/dev/sdd", "1234abcd"}), "rc"), "0");
  EXPECT_EQ(kv(probe({"sig-get", "/dev/sdd"}), "sig"), "1234abcd");
  EXPECT_EQ(get_le32(host_->image("sdd"), 440), 0x1234abcdu);
  EXPECT_EQ(kv(probe({"id", "/dev/sdd"}), "id"), "1234abcd-0000-0000-0000-000000000000");
  out = probe({"find-sig", "1234abcd"});
  EXPECT_EQ(kv(out, "rc"), "0") << out;
  EXPECT_EQ(kv(out, "path"), "/dev/sdd");
}

TEST_F(LibE2e, LookupBySignatureSkipsLunsAndPartitions) {
  char sig[16];
  snprintf(sig, sizeof(sig), "%08x", kSigB);
  std::string out = probe({"find-sig", sig});
  EXPECT_EQ(kv(out, "rc"), "0") << out;
  EXPECT_EQ(kv(out, "path"), "/dev/sdb");
  // The partition is there and its byte 440 holds kSigPart, yet it is no disk.
  snprintf(sig, sizeof(sig), "%08x", kSigPart);
  out = probe({"sig-get", "/dev/sdb1"});
  ASSERT_EQ(kv(out, "rc"), "0") << out;
  ASSERT_EQ(kv(out, "sig"), sig);
  EXPECT_EQ(kv(probe({"find-sig", sig}), "rc"), "-1");
  EXPECT_EQ(kv(probe({"find-sig", "0badf00d"}), "rc"), "-1");
  EXPECT_EQ(kv(probe({"id", "/dev/sdc"}), "id"), kGuid1);
  // A second plain disk with sdb's signature, as a clone of it: the
  // signature names neither.
  snprintf(sig, sizeof(sig), "%08x", kSigB);
  std::string was = kv(probe({"sig-get", "/dev/sdd"}), "sig");
  ASSERT_EQ(kv(probe({"sig-set", "/dev/sdd", sig}), "rc"), "0");
  out = probe({"find-sig", sig});
  EXPECT_EQ(kv(out, "rc"), "-1") << out;
  ASSERT_EQ(kv(probe({"sig-set", "/dev/sdd", was}), "rc"), "0");
}

TEST_F(LibE2e, LookupByGuidMatchesTheWholeText) {
  std::string out = probe({"find-guid", kGuid1});
  EXPECT_EQ(kv(out, "rc"), "0") << out;
  EXPECT_EQ(kv(out, "path"), "/dev/sdc");
  EXPECT_EQ(kv(probe({"find-guid", kGuid2}), "path"), "/dev/sde");
  EXPECT_EQ(kv(probe({"find-guid", std::string(kGuid1).substr(0, 20)}), "rc"), "-1");
  EXPECT_EQ(kv(probe({"find-guid", std::string(kGuid1) + "0"}), "rc"), "-1");
}

TEST_F(LibE2e, ProtectRequestOnTheWire) {
  char primary[40];
  snprintf(primary, sizeof(primary), "%08x-0000-0000-0000-000000000000", kSigB);
  std::string out = probe({"protect", primary, kGuid1});
  EXPECT_EQ(kv(out, "rc"), "0") << out;
  EXPECT_EQ(kv(out, "requests"), "2") << out;
  // The status request, then SET_DISK_PROTECT: mode 1, the primary (kind 1,
  // "/dev/sdb" at 36), the mirror (kind 2, "/dev/sdc" at 44, GUID at 52),
  // the texts and 4 zero bytes; body length 40 + 8 + 8 + 36 = 92.
  std::string guid_hex;
  for (const char* c = kGuid1; *c; c++) {
    char b[3];
    snprintf(b, sizeof(b), "%02x", static_cast<unsigned char>(*c));
    guid_hex += b;
  }
  std::string want_status = "0f0000000000";
  std::string want_protect = std::string("01005c000000") + "01000000" +
                             "0100" "2400" "0800" "0000" "01b0e05e" "00000000" +
                             "0200" "2c00" "0800" "0000" "3400" "2400" "00000000" +
                             "2f6465762f736462" + "2f6465762f736463" + guid_hex + "00000000";
  size_t p = out.find("req=");
  ASSERT_NE(p, std::string::npos) << out;
  EXPECT_EQ(kv(out.substr(p), "req"), want_status);
  size_t q = out.find("req=", p + 4);
  ASSERT_NE(q, std::string::npos) << out;
  EXPECT_EQ(kv(out.substr(q), "req"), want_protect);

  // A primary already serving as another protection's mirror: refused after
  // the status request.
  out = probe({"protect", primary, kGuid1, primary});
  EXPECT_EQ(kv(out, "rc"), "-1") << out;
  EXPECT_EQ(kv(out, "requests"), "1") << out;

  // A mirror smaller than the primary: refused after the status request.
  out = probe({"protect", primary, kGuid2});
  EXPECT_EQ(kv(out, "rc"), "-1") << out;
  EXPECT_EQ(kv(out, "requests"), "1") << out;
}

TEST_F(LibE2e, MalformedVpdPages) {
  for (const char* knob : {"vpd_page_len_over", "short_designator", "bad_guid_char"}) {
    simctl({"disk", "knob", "sde", knob});
    std::string out = probe({"guid", "/dev/sde"});
    EXPECT_NE(kv(out, "rc"), "0") << knob << ": " << out;
    EXPECT_EQ(kv(probe({"find-guid", kGuid2}), "rc"), "-1") << knob;
    EXPECT_EQ(kv(probe({"id", "/dev/sde"}), "rc"), "-1") << knob;
  }
  simctl({"disk", "knob", "sde", "none"});
  EXPECT_EQ(kv(probe({"guid", "/dev/sde"}), "guid"), kGuid2);
}

TEST_F(LibE2e, StandbyAndOfflineDisks) {
  simctl({"disk", "knob", "sde", "standby"});
  EXPECT_EQ(kv(probe({"tur", "/dev/sde"}), "state"), "3");
  EXPECT_EQ(kv(probe({"path", "/dev/sde"}), "state"), "3");
  simctl({"disk", "knob", "sde", "none"});
  EXPECT_EQ(kv(probe({"tur", "/dev/sde"}), "state"), "2");

  simctl({"disk", "offline", "sde"});
  EXPECT_EQ(kv(probe({"tur", "/dev/sde"}), "state"), "1");
  EXPECT_EQ(kv(probe({"path", "/dev/sde"}), "state"), "1");
  EXPECT_EQ(kv(probe({"direct", "/dev/sde"}), "rc"), "-1");
  EXPECT_EQ(kv(probe({"id", "/dev/sde"}), "rc"), "-1");
  // The other disks are still found around it.
  EXPECT_EQ(kv(probe({"find-guid", kGuid1}), "path"), "/dev/sdc");
  simctl({"disk", "heal", "sde"});
  EXPECT_EQ(kv(probe({"path", "/dev/sde"}), "state"), "2");
}

}  // namespace
