// volreadd: given the path of a block device that was just added, finds its
// protection in the boot registry, finds the partner disk and registers the
// pair with the kernel module directly, without zelmird.
#ifndef ZELMIR_TOOLS_VOLREADD_VOLREADD_H
#define ZELMIR_TOOLS_VOLREADD_VOLREADD_H

#include <stdint.h>

#include "hm_list.h"
#include "hm_volume.h"   // HM_NAME_LEN

#define HM_REG_PATH "/vyrboot/hmdevs.reg"
#define HM_REG_LINE 1024

// One disk of a registry line.
struct hm_reg_disk {
  char name[HM_NAME_LEN];  // as stored ("...?"), later the found path
  char guid[HM_NAME_LEN];
  uint64_t size;           // bytes, by READ CAPACITY at load; 0 on failure
  uint8_t vid[16];         // 0 in every entry
};

// One protection of the registry.
struct hm_reg_entry {
  struct list_head list;
  hm_reg_disk* primary;
  hm_reg_disk* mirror;
};

enum { HM_SIDE_PRIMARY = 0, HM_SIDE_MIRROR = 1 };

// The whole program; main() is only this. Always 0.
int volreadd_main(int argc, char** argv);

int load_hmdevs_reg(struct list_head* list);
int parse_reg_line(const char* line, int length, char* pname, char* pguid,
                   char* mname, char* mguid);
int parse_reg_token(const char* text, int length, char* name, char* guid);
hm_reg_entry* find_protection(struct list_head* list, const char* guid,
                              int side);
// 0 found (its name set), -1 not found (its name marked "?") or no walk,
// HM_PARTNER_AMBIGUOUS when a primary's signature is on two disks, which
// names neither: nothing may be sent then.
enum { HM_PARTNER_AMBIGUOUS = -2 };
int find_partner_disk(hm_reg_entry* entry, int side);
int readd_protection(hm_reg_entry* entry);
void print_protections(struct list_head* list);
// Unlinks and frees every entry.
void free_hmdevs_reg(struct list_head* list);

// Builds the Add Protection message (12-byte header and body) for @entry
// into @msg (2048 bytes); gives its length.
int build_add_protection(const hm_reg_entry* entry, uint8_t* msg);

// Tests only: read the registry from @path (null restores the real one).
void volreadd_set_registry_path_for_test(const char* path);

#endif  // ZELMIR_TOOLS_VOLREADD_VOLREADD_H
