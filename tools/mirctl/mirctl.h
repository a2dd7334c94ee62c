// mirctl: the administrator's command line for the host mirror. Every command
// is a word pair ("disk" or "zelmird", then a command word); all but "mark"
// send one request of the local host-mirror protocol to zelmird and print the
// answer. Single-threaded; no state survives a run.
#ifndef ZELMIR_TOOLS_MIRCTL_MIRCTL_H
#define ZELMIR_TOOLS_MIRCTL_MIRCTL_H

#include <stdint.h>

#include "hm_unix.h"
#include "hm_volume.h"   // HM_NAME_LEN

// Longest device path a command accepts: the daemon and the module keep
// paths in HM_NAME_LEN fields with their terminator.
#define MIRCTL_PATH_MAX (HM_NAME_LEN - 1)

// Room for the argument pointers and their texts handed to a handler.
#define MIRCTL_ARG_AREA 1024

typedef int (*mirctl_handler)(int argc, char** argv);

struct mirctl_cmd {
  char word[32];
  mirctl_handler handler;  // null ends a table
};

extern const mirctl_cmd mirctl_disk_table[];
extern const mirctl_cmd mirctl_daemon_table[];

// The whole program; main() is only this.
int mirctl_main(int argc, char** argv);
void mirctl_usage(void);
// Runs the handler of @word from @table with the arguments after it: 0, or
// -1 when the word is not in the table.
int mirctl_dispatch(int argc, char** argv, const char* word,
                    const mirctl_cmd* table);

// The value after @key (and the one character after it, normally "=") in
// @arg, or null when the key is absent or the value empty.
const char* get_key_value(const char* arg, const char* key);
int is_all_digits(const char* text);
// 1 when @path is a device path a command may send (1 to 127 bytes); else
// prints the refusal and the usage and gives 0.
int mirctl_path_ok(const char* path, const char* arg);

// The library's sender, reporting on standard output: one request, one
// reply. 0 and a reply buffer (header, body and one more zero byte) that the
// caller frees, or a negative failure.
int do_un_cmd(const void* req, int len, char** reply);
int mirctl_send_and_report(const void* req, int len, int code);
int mirctl_daemon_cmd(const void* req, int len);
int mirctl_print_reply(const char* reply);

int mirctl_disk_cmd(int argc, char** argv, int code);
int index_cmd(const char* arg, int code);
int mirctl_disk_name_cmd(const char* path, int code);
int mirctl_text_cmd(int code);
int mirctl_debug_switch(int code);
void mirctl_log_args(int argc, char** argv);

// The handlers of the tables.
int mirctl_disk_protect(int argc, char** argv);
int mirctl_disk_unprotect(int argc, char** argv);
int mirctl_disk_sync(int argc, char** argv);
int mirctl_disk_resync(int argc, char** argv);
int mirctl_disk_stopsync(int argc, char** argv);
int mirctl_disk_stat(int argc, char** argv);
int mirctl_disk_statall(int argc, char** argv);
int mirctl_disk_list(int argc, char** argv);
int mirctl_disk_mark(int argc, char** argv);
int mirctl_disk_fail(int argc, char** argv);
int mirctl_disk_up(int argc, char** argv);
int mirctl_disk_del(int argc, char** argv);
int mirctl_disk_add(int argc, char** argv);
int mirctl_disk_update_protect_state(int argc, char** argv);
int mirctl_debugon(int argc, char** argv);
int mirctl_debugoff(int argc, char** argv);
int mirctl_debug_level(int argc, char** argv);

#endif  // ZELMIR_TOOLS_MIRCTL_MIRCTL_H
