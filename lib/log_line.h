// The newline rule shared by log_write and zelc_syslog.
#ifndef ZELMIR_LIB_LOG_LINE_H
#define ZELMIR_LIB_LOG_LINE_H

#include <stddef.h>
#include <string.h>

// Makes the terminated text in buf (size bytes) end with exactly the newline
// it needs: unchanged when it already ends in one, else one is appended; a
// full buffer gives up its last character to the newline.  Returns the
// length.
static inline size_t log_line_end(char *buf, size_t size) {
  size_t len = strnlen(buf, size - 1);
  if (len > 0 && buf[len - 1] == '\n') return len;
  if (len >= size - 1) len = size - 2;
  buf[len++] = '\n';
  buf[len] = '\0';
  return len;
}

#endif  // ZELMIR_LIB_LOG_LINE_H
