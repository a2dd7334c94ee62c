// Stand-in for the maker's program "zeldisk": "zeldisk -r" rescans all
// devices through the disk library.
#include <stdio.h>
#include <string.h>

#include "calls_log.h"
#include "zel/zeldisk.h"

int main(int argc, char** argv) {
  if (argc != 2 || strcmp(argv[1], "-r") != 0) {
    fprintf(stderr, "usage: zeldisk -r\n");
    return 2;
  }
  zel_record_call("zeldisk -r");
  return zeldisk_rescan_dev(0) != 0 ? 0 : 1;
}
