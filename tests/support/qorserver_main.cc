// qorserver: the tests' managing server from the shell, against the host in
// DIR.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "eventually.h"
#include "qor_server.h"

using testsupport::QorAnswer;
using testsupport::QorArrival;
using testsupport::QorConf;
using testsupport::QorHead;
using testsupport::QorReply;
using testsupport::QorServer;

namespace {

const char kUsage[] =
    "usage: qorserver send DIR PORT CMD [--tag N] [--version N] [--status N] [--len N]\n"
    "                      [--addr A] [--doc FILE|-] [--timing]\n"
    "                                                    one request, the reply printed\n"
    "       qorserver raw DIR PORT [--addr A]            the bytes of standard input as they are\n"
    "       qorserver listen DIR PORT [--addr A] [--count N] [--limit SECONDS]\n"
    "                      [--status N] [--doc FILE] [--hangup|--silent] [--timing]\n"
    "                      [--follow]                    heartbeats recorded and answered,\n"
    "                                                    printed at the end or, with --follow,\n"
    "                                                    each as it arrives\n"
    "       qorserver conf DIR [--write FILE|-]          qorcd.conf shown or replaced\n"
    "       qorserver start DIR PORT [ARG...]            qorcd started, its port awaited\n"
    "       qorserver stop DIR                           qorcd's supervisor and child killed\n"
    "  --timing: a line \"took_us=N\" before each exchange (send: the whole\n"
    "            exchange; listen: from the accept to the whole request, and\n"
    "            \"at_us=N\", the accept's time since the listener started)\n";

int usage() {
  fputs(kUsage, stderr);
  return 2;
}

std::string slurp(const std::string& file) {
  if (file == "-") return std::string(std::istreambuf_iterator<char>(std::cin), {});
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    fprintf(stderr, "qorserver: cannot read %s\n", file.c_str());
    exit(1);
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void print_head(const char* what, const QorHead& h) {
  printf("%s version=%u status=%u tag=%u cmd=%u data_len=%u\n", what, h.version, h.status, h.tag,
         h.cmd, h.data_len);
}

int print_reply(const QorReply& r) {
  if (!r.connected) {
    printf("not sent: %s\n", r.error.c_str());
    return 1;
  }
  if (r.replied) {
    print_head("replied", r.head);
    fwrite(r.body.data(), 1, r.body.size(), stdout);
    if (!r.body.empty()) putchar('\n');
  } else {
    printf("%s unanswered (%zu bytes)\n", r.closed ? "closed" : "timed out", r.raw.size());
  }
  return 0;
}

// The value of --name in args (consumed), or def.
std::string option(std::vector<std::string>* args, const std::string& name, const std::string& def) {
  for (size_t i = 0; i + 1 < args->size(); ++i) {
    if ((*args)[i] == name) {
      std::string v = (*args)[i + 1];
      args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
      return v;
    }
  }
  return def;
}

bool flag(std::vector<std::string>* args, const std::string& name) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] == name) {
      args->erase(args->begin() + static_cast<long>(i));
      return true;
    }
  }
  return false;
}

unsigned long num(const std::string& s) { return strtoul(s.c_str(), nullptr, 0); }

long long micros(std::chrono::steady_clock::duration d) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
}

int cmd_send(QorServer& srv, std::vector<std::string> a, bool raw) {
  srv.set_target_address(option(&a, "--addr", "127.0.0.1"));
  if (raw) {
    if (a.size() != 1) return usage();
    return print_reply(srv.send_raw(static_cast<uint16_t>(num(a[0])), slurp("-")));
  }
  QorHead h;
  h.tag = static_cast<uint16_t>(num(option(&a, "--tag", "0")));
  h.version = static_cast<uint8_t>(num(option(&a, "--version", "2")));
  h.status = static_cast<uint16_t>(num(option(&a, "--status", "0")));
  std::string doc_file = option(&a, "--doc", "");
  std::string len = option(&a, "--len", "");
  bool timing = flag(&a, "--timing");
  if (a.size() != 2) return usage();
  std::string doc = doc_file.empty() ? "" : slurp(doc_file);
  h.cmd = static_cast<uint32_t>(num(a[1]));
  h.data_len = len.empty() ? static_cast<uint32_t>(doc.size()) : static_cast<uint32_t>(num(len));
  auto t0 = std::chrono::steady_clock::now();
  QorReply r = srv.send(static_cast<uint16_t>(num(a[0])), h, doc);
  if (timing) printf("took_us=%lld\n", micros(std::chrono::steady_clock::now() - t0));
  return print_reply(r);
}

int cmd_listen(QorServer& srv, std::vector<std::string> a) {
  std::string addr = option(&a, "--addr", "0.0.0.0");
  size_t count = num(option(&a, "--count", "1"));
  long limit = static_cast<long>(num(option(&a, "--limit", "60")));
  std::string status = option(&a, "--status", "0");
  std::string doc_file = option(&a, "--doc", "");
  QorAnswer answer = QorAnswer::reply(static_cast<uint16_t>(num(status)),
                                      doc_file.empty() ? "" : slurp(doc_file));
  if (flag(&a, "--hangup")) answer = QorAnswer::hang_up();
  if (flag(&a, "--silent")) answer = QorAnswer::silent();
  bool timing = flag(&a, "--timing");
  bool follow = flag(&a, "--follow");
  if (a.size() != 1) return usage();
  srv.answer_default(answer);
  const auto listening = std::chrono::steady_clock::now();
  srv.listen(static_cast<uint16_t>(num(a[0])), addr);
  size_t printed = 0;
  auto print_new = [&] {
    std::vector<QorArrival> got = srv.arrivals();
    for (; printed < got.size(); ++printed) {
      const QorArrival& g = got[printed];
      if (timing) {
        printf("took_us=%lld\n", micros(g.done - g.at));
        printf("at_us=%lld\n", micros(g.at - listening));
      }
      std::string what =
          "arrival " + std::to_string(printed + 1) + (g.complete ? "" : " (incomplete)");
      print_head(what.c_str(), g.head);
      fwrite(g.body.data(), 1, g.body.size(), stdout);
      if (!g.body.empty()) putchar('\n');
    }
    fflush(stdout);
    return printed >= count;
  };
  bool all = testsupport::eventually([&] { return follow ? print_new() : srv.arrivals().size() >= count; },
                                     std::chrono::seconds(limit));
  print_new();
  return all ? 0 : 1;
}

int cmd_conf(QorServer& srv, std::vector<std::string> a) {
  std::string file = option(&a, "--write", "");
  if (!a.empty()) return usage();
  if (!file.empty()) {
    QorConf conf;
    if (!QorConf::from_xml(slurp(file), &conf)) {
      fprintf(stderr, "qorserver: %s is no qorcd.conf\n", file.c_str());
      return 1;
    }
    srv.write_conf(conf);
    return 0;
  }
  QorConf conf;
  if (!srv.read_conf(&conf)) {
    fprintf(stderr, "qorserver: the host has no readable %s\n", QorServer::kConfPath);
    return 1;
  }
  fputs(conf.to_xml().c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  std::string cmd = argv[1];
  std::vector<std::string> rest(argv + 3, argv + argc);
  try {
    QorServer srv(argv[2]);
    if (cmd == "send") return cmd_send(srv, rest, false);
    if (cmd == "raw") return cmd_send(srv, rest, true);
    if (cmd == "listen") return cmd_listen(srv, rest);
    if (cmd == "conf") return cmd_conf(srv, rest);
    if (cmd == "start" && !rest.empty()) {
      std::vector<std::string> args(rest.begin() + 1, rest.end());
      std::string why;
      bool ok = srv.start_qorcd(static_cast<uint16_t>(num(rest[0])), args, &why);
      srv.detach_qorcd();   // the daemon outlives this command
      if (!ok) fprintf(stderr, "qorserver: %s\n", why.c_str());
      return ok ? 0 : 1;
    }
    if (cmd == "stop" && rest.empty()) return srv.stop_qorcd() ? 0 : 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "qorserver: %s\n", e.what());
    return 1;
  }
  return usage();
}
