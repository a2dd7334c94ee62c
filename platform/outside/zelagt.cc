// Stand-in for the maker's libzelagt, the CDP marks on the storage. Each
// mark is recorded as it begins and ends; the host's answer file for the
// kind of mark says how the storage answers and how long it takes.
#include <stddef.h>
#include <string.h>

#include <string>

#include "calls_log.h"
#include "zel/zel_outside.h"

namespace {

constexpr char kDiskMarkAnswer[] = ZEL_ANSWER_DIR "/disk_markcdp.answer";
constexpr char kGroupMarkAnswer[] = ZEL_ANSWER_DIR "/grp_markcdp.answer";

// A group is walked as it is laid out; a list that never comes back to its
// head (a caller's corrupt group) must not keep the caller's locks forever.
constexpr int kMaxMembers = 4096;

// " {GUID},FLAG,PATH" per member, in member order.
std::string members_of(const Zeldevgrp* g, int* count) {
  std::string out;
  *count = 0;
  const struct list_head* head = &g->members;
  // A group allocated zeroed whose list was never initialised has no member.
  for (const struct list_head* n = head->next; n && n != head; n = n->next) {
    if (*count == kMaxMembers) {
      out += " ...";
      break;
    }
    const Zeldev* d = list_entry(n, const Zeldev, node);
    // The GUID field need not be terminated: never read past it.
    out += " " + std::string(d->guid, strnlen(d->guid, sizeof d->guid)) + "," +
           std::to_string(d->flag) + "," + zel_text(d->path);
    ++*count;
  }
  return out;
}

}  // namespace

extern "C" int zel_call_markcdp(const char* name, int time_flag) {
  ZelAnswer a = zel_read_answer(ZEL_MARK_ANSWER);
  zel_record_call("zel_call_markcdp begin %s %d", zel_text(name), time_flag);
  zel_answer_delay(a);
  zel_record_call("zel_call_markcdp end %s %d result=%d", zel_text(name), time_flag, a.result);
  return a.result;
}

extern "C" int zel_call_disk_markcdp(const char* braced_guid) {
  ZelAnswer a = zel_read_answer(kDiskMarkAnswer);
  zel_record_call("zel_call_disk_markcdp begin %s", zel_text(braced_guid));
  if (!braced_guid) a.result = -1;
  zel_answer_delay(a);
  zel_record_call("zel_call_disk_markcdp end %s result=%d", zel_text(braced_guid), a.result);
  return a.result;
}

extern "C" int zel_call_grp_markcdp(Zeldevgrp* group) {
  if (!group) {
    zel_record_call("zel_call_grp_markcdp (null) result=-1");
    return -1;
  }
  ZelAnswer a = zel_read_answer(kGroupMarkAnswer);
  int count;
  std::string members = members_of(group, &count);
  zel_record_call("zel_call_grp_markcdp begin %s members=%d%s", zel_text(group->name), count,
                  members.c_str());
  zel_answer_delay(a);
  zel_record_call("zel_call_grp_markcdp end %s result=%d", zel_text(group->name), a.result);
  return a.result;
}
