// What zelmird calls of the maker's outside CDP-agent libraries libzelpub
// (logging and configuration) and libzelagt (marks).  These are stand-ins:
// each call is recorded, and a mark answers what the host's answer file says.
#ifndef ZELMIR_OUTSIDE_ZEL_OUTSIDE_H
#define ZELMIR_OUTSIDE_ZEL_OUTSIDE_H

#ifdef __cplusplus
extern "C" {
#endif

// libzelpub
int zel_log_init(const char* name);
int zel_set_logdaemon(int on);
int zel_set_loglevel(int level);
int Zel_parse_cfgfile(const char* path);

// libzelagt: returns once the mark is made; 0 or negative.
int zel_call_markcdp(const char* name, int time_flag);

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_OUTSIDE_ZEL_OUTSIDE_H
