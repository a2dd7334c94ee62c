// The name tables of the local host-mirror protocol.
#include "hm_unix.h"

const char un_cmd_string[HM_UN_CMD_COUNT][HM_UN_STRLEN] = {
    "CMD_NONE",
    "SET_DISK_PROTECT",
    "CANCEL_DISK_PROTECT",
    "DISK_SYNC",
    "DISK_RESYNC",
    "DISK_STOP_SYNC",
    "GET_STATUS",
    "GET_STATUS_ALL",
    "GET_HMDEV_INFO",
    "DISK_LIST",
    "UN_CMD_DISK_FAIL",
    "UN_CMD_DISK_UP",
    "UN_CMD_DISK_DEL",
    "UN_CMD_DISK_ADD",
    "",
    "UN_CMD_API_GET_STATUS",
    "UN_CMD_API_CREATE_CDP",
    "UN_CMD_ZELMIRD_DEBUG_ON",
    "UN_CMD_ZELMIRD_DEBUG_OFF",
    "UN_CMD_ZELMIRD_DEBUG_SET",
};

const char un_retcode_string[HM_UN_RET_COUNT][HM_UN_STRLEN] = {
    "Success",
    "Primary volume is already in protection",
    "Mirror volume is already in protection",
    "Primary volume create failed",
    "Mirror volume create failed",
    "Hmdev create failed",
    "Set protection in kernel failed",
    "Cancel protection in kernel failed",
    "Volume not in protection",
    "Last protection is still working",
    "Cancel sync in kernel failed",
    "Initialize in kernel failed",
    "Get status in kernel failed",
    "Primary volume is error or lost",
    "Mirror volume is error or lost",
    "Create bitmap failed",
    "No space in /boot dir for create bitmap",
    "Hmdev not in syncing",
    "Can not find hmdev by index, check you command!",
    "Try again later",
    "Hmdev not found",
    "Hmdev set max sync speed failed",
    "HA: ips exchange failed",
    "HA: minor exit ha cluster failed",
    "HA: mark minor ha tag failed",
    "HA: not a ha cluster",
    "HA: get local ips failed",
    "HA: do not use local ip, use minor ip",
    "HA: init finished, exit first if need to be reconfiguration",
    "HA: index not found in hmdevs",
    "HA: initialize minor failed, make sure it's ok",
    "mark CDP failed",
    "'/boot' doesn't reside on scsi disk, cannot protect disk",
};

const char *hm_un_cmd_name(unsigned int cmd) {
  return cmd < HM_UN_CMD_COUNT ? un_cmd_string[cmd] : "Unknown command";
}

const char *hm_un_retcode_text(unsigned int retcode) {
  return retcode < HM_UN_RET_COUNT ? un_retcode_string[retcode] : "Unknown result code";
}
