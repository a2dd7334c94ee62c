// Stand-in for the maker's libzelagt, its registries of databases and of
// devices: text files in the host that a test may write before the calls
// and read after them.
//
//   /etc/zelcdpagt/apps.reg  one database a line, tab-separated KEY=VALUE
//                            fields (instance, db_type, archive_log,
//                            type_name, db_user, oracle_home, host, port);
//                            a tab, line feed or backslash inside a value
//                            is written \t, \n or \\.
//   /etc/zelcdpagt/devs.reg  one registered device GUID a line.
//
// The database password is taken by a registration and goes nowhere: not
// into the registry, and never into a log.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "calls_log.h"
#include "zel/zel_outside.h"

namespace {

constexpr char kAppsFile[] = ZEL_ANSWER_DIR "/apps.reg";
constexpr char kDevsFile[] = ZEL_ANSWER_DIR "/devs.reg";
constexpr char kLockFile[] = ZEL_ANSWER_DIR "/.registry.lock";
constexpr char kConnectAnswer[] = ZEL_ANSWER_DIR "/connect_db.answer";
constexpr char kDeleteAnswer[] = ZEL_ANSWER_DIR "/delete_app.answer";

// Calls from several threads or processes read, change and rewrite a
// registry whole; the lock keeps one from losing another's change.
class RegistryLock {
 public:
  RegistryLock() {
    mkdir(ZEL_ANSWER_DIR, 0755);
    fd_ = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~RegistryLock() {
    if (fd_ >= 0) close(fd_);
  }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  int fd_;
};

std::vector<std::string> read_lines(const char* path) {
  std::vector<std::string> lines;
  FILE* f = fopen(path, "re");
  if (!f) return lines;
  std::string cur;
  for (int c; (c = fgetc(f)) != EOF;) {
    if (c == '\n') {
      if (!cur.empty()) lines.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(c);
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  fclose(f);
  return lines;
}

std::vector<std::string> read_registry(const char* path) {
  RegistryLock lock;
  return read_lines(path);
}

// Whole or not at all: a crash mid-write leaves the old registry.
bool write_lines(const char* path, const std::vector<std::string>& lines) {
  std::string tmp = std::string(path) + ".tmp";
  FILE* f = fopen(tmp.c_str(), "we");
  if (!f) return false;
  for (const auto& l : lines) fprintf(f, "%s\n", l.c_str());
  bool ok = fflush(f) == 0 && fsync(fileno(f)) == 0;
  ok = fclose(f) == 0 && ok;
  if (ok && rename(tmp.c_str(), path) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

std::string escape(const char* s) {
  std::string out;
  for (; *s; s++) {
    switch (*s) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\\': out += "\\\\"; break;
      default: out += *s;
    }
  }
  return out;
}

std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields split_fields(const std::string& line) {
  Fields fields;
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = line.find('\t', start);
    if (end == std::string::npos) end = line.size();
    std::string f = line.substr(start, end - start);
    size_t eq = f.find('=');
    if (eq != std::string::npos) fields.emplace_back(f.substr(0, eq), unescape(f.substr(eq + 1)));
    start = end + 1;
  }
  return fields;
}

const std::string* field(const Fields& fields, const char* key) {
  for (const auto& [k, v] : fields)
    if (k == key) return &v;
  return nullptr;
}

char* dup_field(const Fields& fields, const char* key) {
  const std::string* v = field(fields, key);
  return v ? strdup(v->c_str()) : nullptr;
}

int int_field(const Fields& fields, const char* key) {
  const std::string* v = field(fields, key);
  return v ? atoi(v->c_str()) : 0;
}

std::string instance_of(const std::string& line) {
  Fields fields = split_fields(line);
  const std::string* v = field(fields, "instance");
  return v ? *v : std::string();
}

std::string line_of(const ZelApp& a) {
  std::string line = "instance=" + escape(a.instance_name);
  line += "\tdb_type=" + std::to_string(a.db_type);
  line += "\tarchive_log=" + std::to_string(a.archive_log);
  const std::pair<const char*, const char*> texts[] = {
      {"type_name", a.type_name}, {"db_user", a.db_user}, {"oracle_home", a.oracle_home},
      {"host", a.host},           {"port", a.port}};
  for (const auto& [key, value] : texts)
    if (value) line += std::string("\t") + key + "=" + escape(value);
  return line;
}

// What a registration is told, for the call log: every field but the
// password, of which only whether one was given.
std::string described(const ZelApp& a) {
  std::string s = "instance=" + std::string(zel_text(a.instance_name)) +
                  " db_type=" + std::to_string(a.db_type) +
                  " archive_log=" + std::to_string(a.archive_log) +
                  " type_name=" + zel_text(a.type_name) + " db_user=" + zel_text(a.db_user) +
                  " passwd=" + (a.db_passwd ? "(given)" : "(none)") +
                  " oracle_home=" + zel_text(a.oracle_home) + " host=" + zel_text(a.host) +
                  " port=" + zel_text(a.port);
  return s;
}

void free_app(ZelApp* a) {
  free(a->instance_name);
  free(a->type_name);
  free(a->db_user);
  free(a->db_passwd);
  free(a->oracle_home);
  free(a->host);
  free(a->port);
  free(a);
}

}  // namespace

extern "C" int Zel_list_app(struct list_head* apps) {
  if (!apps) {
    zel_record_call("Zel_list_app (null) result=-1");
    return -1;
  }
  int count = 0;
  for (const auto& line : read_registry(kAppsFile)) {
    Fields f = split_fields(line);
    if (!field(f, "instance")) continue;
    ZelApp* a = static_cast<ZelApp*>(calloc(1, sizeof(ZelApp)));
    if (!a) break;
    a->instance_name = dup_field(f, "instance");
    a->db_type = int_field(f, "db_type");
    a->archive_log = int_field(f, "archive_log");
    a->type_name = dup_field(f, "type_name");
    a->db_user = dup_field(f, "db_user");
    a->oracle_home = dup_field(f, "oracle_home");
    a->host = dup_field(f, "host");
    a->port = dup_field(f, "port");
    list_add_tail(&a->node, apps);
    count++;
  }
  zel_record_call("Zel_list_app apps=%d", count);
  return count;
}

extern "C" int Zel_connect_db_flush_cfg(ZelApp* app) {
  if (!app || !app->instance_name) {
    zel_record_call("Zel_connect_db_flush_cfg %s result=-1",
                    app ? described(*app).c_str() : "(null)");
    return -1;
  }
  ZelAnswer a = zel_read_answer(kConnectAnswer);
  int result = a.given ? a.result : 0;
  if (result != -1) {
    RegistryLock lock;
    std::vector<std::string> lines;
    for (auto& l : read_lines(kAppsFile))
      if (instance_of(l) != app->instance_name) lines.push_back(std::move(l));
    lines.push_back(line_of(*app));
    if (!write_lines(kAppsFile, lines)) result = -1;
  }
  zel_record_call("Zel_connect_db_flush_cfg %s result=%d", described(*app).c_str(), result);
  // Once registered the record is the library's, and the caller never touches
  // it again; the registry holds what the library keeps of it.
  if (result != -1) free_app(app);
  return result;
}

extern "C" int Zel_delete_app(const char* instance_name) {
  ZelAnswer a = zel_read_answer(kDeleteAnswer);
  int result = 0;
  if (instance_name) {
    RegistryLock lock;
    std::vector<std::string> lines, kept;
    lines = read_lines(kAppsFile);
    for (auto& l : lines)
      if (instance_of(l) != instance_name) kept.push_back(std::move(l));
    bool found = kept.size() != lines.size();
    result = a.given ? a.result : (found ? 1 : 0);
    if (found && result > 0 && !write_lines(kAppsFile, kept)) result = 0;
  }
  zel_record_call("Zel_delete_app %s result=%d", zel_text(instance_name), result);
  return result;
}

extern "C" int Zel_list_dev(struct list_head* devs) {
  if (!devs) {
    zel_record_call("Zel_list_dev (null) result=-1");
    return -1;
  }
  int count = 0;
  for (const auto& line : read_registry(kDevsFile)) {
    ZelDevEntry* d = static_cast<ZelDevEntry*>(calloc(1, sizeof(ZelDevEntry)));
    if (!d) break;
    d->guid = strdup(line.c_str());
    list_add_tail(&d->node, devs);
    count++;
  }
  zel_record_call("Zel_list_dev devs=%d", count);
  return count;
}

extern "C" int Zel_delete_dev(int flag, const char* guid) {
  int result = -1;
  if (guid) {
    RegistryLock lock;
    std::vector<std::string> lines, kept;
    lines = read_lines(kDevsFile);
    for (auto& l : lines)
      if (l != guid) kept.push_back(std::move(l));
    if (kept.size() != lines.size() && write_lines(kDevsFile, kept)) result = 0;
  }
  zel_record_call("Zel_delete_dev %d %s result=%d", flag, zel_text(guid), result);
  return result;
}
