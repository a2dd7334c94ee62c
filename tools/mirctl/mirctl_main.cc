// The command line: word pairs, the command tables and the argument area.
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "mirctl.h"
#include "mirapi/log.h"
#include "mirapi/util.h"

const mirctl_cmd mirctl_disk_table[] = {
    {"protect", mirctl_disk_protect},
    {"unprotect", mirctl_disk_unprotect},
    {"sync", mirctl_disk_sync},
    {"resync", mirctl_disk_resync},
    {"stopsync", mirctl_disk_stopsync},
    {"stat", mirctl_disk_stat},
    {"statall", mirctl_disk_statall},
    {"list", mirctl_disk_list},
    {"mark", mirctl_disk_mark},
    {"fail", mirctl_disk_fail},
    {"up", mirctl_disk_up},
    {"del", mirctl_disk_del},
    {"add", mirctl_disk_add},
    {"update", mirctl_disk_update_protect_state},
    {"", nullptr},
};

const mirctl_cmd mirctl_daemon_table[] = {
    {"debugon", mirctl_debugon},
    {"debugoff", mirctl_debugoff},
    {"debug", mirctl_debug_level},
    {"", nullptr},
};

void mirctl_usage(void) {
  printf(
      "\n"
      "tool mirctl must use like:\n"
      "mirctl disk protect primary=DiskID mirror=DiskID\n"
      "mirctl disk unprotect [DiskID] [IndexID=]\n"
      "mirctl disk sync DiskID [speed=num MB/s]\n"
      "mirctl disk resync DiskID [speed=num MB/s]\n"
      "mirctl disk stopsync DiskID\n"
      "mirctl disk stat DiskID\n"
      "mirctl disk statall\n"
      "mirctl disk list\n"
      "mirctl zelmird debugon\n"
      "mirctl zelmird debugoff\n");
}

const char* get_key_value(const char* arg, const char* key) {
  if (arg == nullptr || key == nullptr) return nullptr;
  const char* p = strstr(arg, key);
  if (p == nullptr) return nullptr;
  p += strlen(key);
  // The separator is skipped whatever it is, but never the terminator.
  if (*p == '\0' || p[1] == '\0') return nullptr;
  return p + 1;
}

int is_all_digits(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  for (const char* p = text; *p != '\0'; p++)
    if (*p < '0' || *p > '9') return 0;
  return 1;
}

int mirctl_path_ok(const char* path, const char* arg) {
  size_t len = path != nullptr ? strlen(path) : 0;
  if (len >= 1 && len <= MIRCTL_PATH_MAX) return 1;
  printf("wrong arg: %s\n", arg != nullptr ? arg : "");
  mirctl_usage();
  return 0;
}

void mirctl_log_args(int argc, char** argv) {
  for (int i = 0; i < argc; i++) syslog(LOG_INFO, "%d %s\n", i, argv[i]);
}

int mirctl_dispatch(int argc, char** argv, const char* word,
                    const mirctl_cmd* table) {
  const mirctl_cmd* cmd = table;
  while (cmd->handler != nullptr && strcmp(cmd->word, word) != 0) cmd++;
  if (cmd->handler == nullptr) {
    printf("wrong arg: %s\n", word);
    mirctl_usage();
    return -1;
  }

  // The handler gets copies in one bounded area: the pointers (and a null
  // after them), then the texts. Arguments that do not fit are refused
  // rather than cut, so no handler sees a truncated path.
  alignas(char*) char area[MIRCTL_ARG_AREA] = {};
  size_t ptr_bytes = (static_cast<size_t>(argc) + 1) * sizeof(char*);
  if (ptr_bytes > sizeof(area)) {
    printf("wrong arg: %s\n", argv[0]);
    mirctl_usage();
    return 0;
  }
  char** args = reinterpret_cast<char**>(area);
  char* text = area + ptr_bytes;
  size_t left = sizeof(area) - ptr_bytes;
  for (int i = 0; i < argc; i++) {
    size_t n = strlen(argv[i]) + 1;
    if (n > left) {
      printf("wrong arg: %s\n", argv[i]);
      mirctl_usage();
      return 0;
    }
    memcpy(text, argv[i], n);
    args[i] = text;
    text += n;
    left -= n;
  }
  args[argc] = nullptr;
  cmd->handler(argc, args);
  return 0;
}

int mirctl_main(int argc, char** argv) {
  zelc_system_log_off = 0;
  zelc_printf_log_off = 1;
  // A daemon that drops the connection must show as a failed write, not
  // kill the tool.
  signal(SIGPIPE, SIG_IGN);

  if (argc > 1 && strcmp(argv[argc - 1], "-v") == 0) {
    version();
    return 0;
  }
  if (argc < 3) {
    printf("wrong cmd format\n");
    mirctl_usage();
    return 0;
  }

  log_init("mirctl", strcmp(argv[argc - 1], "-d") == 0, 7, 0);
  HM_LOG(LOG_DEBUG, "argc: %d argv[1]: %s", argc, argv[1]);

  const mirctl_cmd* table;
  if (strcmp(argv[1], "disk") == 0) {
    HM_LOG(LOG_DEBUG, "disk command receive");
    table = mirctl_disk_table;
  } else if (strcmp(argv[1], "zelmird") == 0) {
    table = mirctl_daemon_table;
  } else {
    printf("wrong arg: %s\n", argv[1]);
    mirctl_usage();
    return 0;
  }
  return mirctl_dispatch(argc - 3, argv + 3, argv[2], table) == -1 ? 255 : 0;
}
