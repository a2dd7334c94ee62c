// Small builders and readers of the agent's records for its tests.
#ifndef ZELMIR_TESTS_AGENT_MODEL_UTIL_H
#define ZELMIR_TESTS_AGENT_MODEL_UTIL_H

#include <arpa/inet.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "qor_model.h"

namespace agenttest {

// Appends a dotted-decimal IPv4 address to a list of ip_entry.
inline ip_entry* add_ip(struct list_head* list, const char* dotted) {
  ip_entry* ip = static_cast<ip_entry*>(calloc(1, sizeof(*ip)));
  inet_pton(AF_INET, dotted, &ip->addr);
  list_add_tail(&ip->list, list);
  return ip;
}

// The addresses of a list of ip_entry, dotted decimal, in list order.
inline std::vector<std::string> ips_of(const struct list_head* list) {
  std::vector<std::string> out;
  struct list_head* pos;
  list_for_each(pos, list) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &list_entry(pos, ip_entry, list)->addr, buf, sizeof(buf));
    out.push_back(buf);
  }
  return out;
}

}  // namespace agenttest

#endif  // ZELMIR_TESTS_AGENT_MODEL_UTIL_H
