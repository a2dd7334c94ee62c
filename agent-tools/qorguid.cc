// qorguid prints a new signature GUID: the GUID text a disk signed with a
// random disk signature would carry.  The draw is seeded with the wall
// clock's whole seconds (the host's clock), so runs within one second agree.
#include <stdio.h>
#include <stdlib.h>

#include "qor_diskid.h"

int main() {
  char* guid = signature_to_guid(random_signature());
  if (guid == nullptr) {
    fprintf(stderr, "Failed to allocate memory\n");
    return 1;
  }
  printf("%s\n", guid);
  free(guid);
  return 0;
}
