#include "ctl_options.h"

#include <getopt.h>
#include <string.h>

const char CTL_USAGE[] =
    "  -l|--list             list all qorcd knows\n"
    "  -d|--delete           delete all configuration, except client guid\n"
    "  -c|--check <ip:port>  check if connection can be established with peer\n"
    "  -h|--help             show this message and exit\n";

int ctl_parse_args(int argc, char** argv, ctl_options* opts, FILE* out, FILE* err) {
  static const option kLong[] = {
      {"list", no_argument, nullptr, 'l'},
      {"delete", no_argument, nullptr, 'd'},
      {"check", required_argument, nullptr, 'c'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  memset(opts, 0, sizeof(*opts));
  // 0, not 1: glibc then starts its scanner afresh, so a second parse in one
  // process (the tests) reads its arguments from the start.
  optind = 0;
  optarg = nullptr;
  int c;
  while ((c = getopt_long(argc, argv, "ldc:h", kLong, nullptr)) != -1) {
    switch (c) {
      case 'l':
        opts->list = 1;
        break;
      case 'd':
        opts->del = 1;
        break;
      case 'c': {
        opts->check = 1;
        opts->check_arg = optarg;
        size_t len = strlen(optarg);
        opts->address_too_long = len >= sizeof(opts->address);
        if (opts->address_too_long) len = 0;
        memcpy(opts->address, optarg, len);
        opts->address[len] = '\0';
        break;
      }
      default:  // help, an unknown option, a missing argument
        fputs(CTL_USAGE, out);
        return -1;
    }
  }
  if (opts->list + opts->del + opts->check > 1) {
    fputs("Multi-operation is forbbiden\n", err);
    return -1;
  }
  return 0;
}
