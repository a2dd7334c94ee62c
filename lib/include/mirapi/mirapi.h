// Everything libmirapi exports.
#ifndef ZELMIR_MIRAPI_MIRAPI_H
#define ZELMIR_MIRAPI_MIRAPI_H

#include "hm_unix.h"
#include "mirapi/api.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"
#include "mirapi/scsi.h"
#include "mirapi/util.h"

#endif  // ZELMIR_MIRAPI_MIRAPI_H
