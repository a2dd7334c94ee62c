// The attributes of the client report's elements, in document order, with
// their values as the report writes them.  One list per element, so the
// report and the debug dumps (qor_report_dump.cc) cannot disagree on a name,
// an order or a number format.  Internal to the report's sources.
#ifndef ZELMIR_AGENT_LIB_QOR_REPORT_ATTRS_H
#define ZELMIR_AGENT_LIB_QOR_REPORT_ATTRS_H

#include <string>
#include <vector>

#include "qor_client.h"

struct ZelApp;

struct QorAttr {
  const char* name;
  std::string value;  // a null text of the record is the empty text
};
using QorAttrs = std::vector<QorAttr>;

// The Client element's host facts, the short report's seven: Name, IPs,
// HostName (read from the system now), SystemType, SysVersion, ID, DBOEM.
QorAttrs qor_client_attrs(const qor_client* client);
// The SysDisk attribute reads "/etc/mtab".
QorAttrs qor_disk_attrs(const qor_disk* disk);
QorAttrs qor_part_attrs(const qor_part* part);
// No attribute for a channel whose type is neither iSCSI nor FC.
QorAttrs qor_channel_attrs(const qor_channel* chn);
QorAttrs qor_backup_attrs(const qor_backup* bk);
QorAttrs qor_database_attrs(const ZelApp* app);

#endif  // ZELMIR_AGENT_LIB_QOR_REPORT_ATTRS_H
