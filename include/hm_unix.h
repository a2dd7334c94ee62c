/*
 * The local host-mirror protocol: a unix stream socket between zelmird and
 * its local clients (libmirapi, mirctl).  Both ends run on the same host, so
 * integers are in host byte order and nothing is converted.
 *
 * A message is a 6-byte hm_header_t followed by body_len bytes of body.
 * Texts in a body carry no terminator: each is named by a 16-bit offset and a
 * 16-bit length (value_insert / value_get in libmirapi build and read them).
 * A body starts at message byte 6, so records inside it are not aligned:
 * every record here is packed, and its size and offsets are asserted.
 */
#ifndef ZELMIR_HM_UNIX_H
#define ZELMIR_HM_UNIX_H

#include <stdint.h>

#ifndef HM_STATIC_ASSERT
#ifdef __cplusplus
#define HM_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define HM_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
#endif
#ifndef HM_OFFSETOF
#define HM_OFFSETOF(type, field) __builtin_offsetof(type, field)
#endif

#define HM_UNIX_PATH		"/var/run/hm_unix"
#define HM_UN_TIMEOUT_SEC	40	/* client send and receive time-outs */

#define HM_UN_CMD_COUNT		20	/* command codes 0 .. 19 */
#define HM_UN_RET_COUNT		33	/* result codes 0 .. 32 */
#define HM_UN_STRLEN		64	/* slot width of both name tables */

/* Command codes (the first byte of every header). */
enum hm_un_cmd {
	CMD_NONE = 0,
	SET_DISK_PROTECT = 1,
	CANCEL_DISK_PROTECT = 2,
	DISK_SYNC = 3,
	DISK_RESYNC = 4,
	DISK_STOP_SYNC = 5,
	GET_STATUS = 6,
	GET_STATUS_ALL = 7,
	GET_HMDEV_INFO = 8,
	DISK_LIST = 9,
	UN_CMD_DISK_FAIL = 10,
	UN_CMD_DISK_UP = 11,
	UN_CMD_DISK_DEL = 12,
	UN_CMD_DISK_ADD = 13,
	UN_CMD_UPDATE_DISK = 14,
	UN_CMD_API_GET_STATUS = 15,
	UN_CMD_API_CREATE_CDP = 16,
	UN_CMD_ZELMIRD_DEBUG_ON = 17,
	UN_CMD_ZELMIRD_DEBUG_OFF = 18,
	UN_CMD_ZELMIRD_DEBUG_SET = 19,
};

/* Result codes (the last field of a reply header): indexes of un_retcode_string. */
enum hm_un_retcode {
	UN_RET_SUCCESS = 0,
	UN_RET_PRIMARY_IN_PROTECTION = 1,
	UN_RET_MIRROR_IN_PROTECTION = 2,
	UN_RET_PRIMARY_CREATE_FAILED = 3,
	UN_RET_MIRROR_CREATE_FAILED = 4,
	UN_RET_HMDEV_CREATE_FAILED = 5,
	UN_RET_SET_PROTECT_FAILED = 6,
	UN_RET_CANCEL_PROTECT_FAILED = 7,
	UN_RET_NOT_IN_PROTECTION = 8,
	UN_RET_LAST_STILL_WORKING = 9,
	UN_RET_CANCEL_SYNC_FAILED = 10,
	UN_RET_INITIALIZE_FAILED = 11,
	UN_RET_GET_STATUS_FAILED = 12,
	UN_RET_PRIMARY_LOST = 13,
	UN_RET_MIRROR_LOST = 14,
	UN_RET_CREATE_BITMAP_FAILED = 15,
	UN_RET_NO_SPACE_BOOT = 16,
	UN_RET_NOT_SYNCING = 17,
	UN_RET_BAD_INDEX = 18,
	UN_RET_TRY_AGAIN = 19,
	UN_RET_HMDEV_NOT_FOUND = 20,
	UN_RET_SET_SPEED_FAILED = 21,
	UN_RET_HA_IPS_EXCHANGE = 22,
	UN_RET_HA_MINOR_EXIT = 23,
	UN_RET_HA_MARK_MINOR = 24,
	UN_RET_HA_NOT_CLUSTER = 25,
	UN_RET_HA_LOCAL_IPS = 26,
	UN_RET_HA_USE_MINOR_IP = 27,
	UN_RET_HA_INIT_FINISHED = 28,
	UN_RET_HA_INDEX_NOT_FOUND = 29,
	UN_RET_HA_INIT_MINOR = 30,
	UN_RET_MARK_CDP_FAILED = 31,
	UN_RET_BOOT_NOT_SCSI = 32,
};

/* Every request and every reply starts with this header. */
typedef struct hm_header {
	uint8_t cmd;		/* command code */
	uint8_t arg;		/* index (GET_HMDEV_INFO), level (DEBUG_SET), else 0 */
	uint16_t body_len;	/* bytes that follow the header */
	uint16_t retcode;	/* 0 in requests; result code in replies */
} __attribute__((packed)) hm_header_t;

HM_STATIC_ASSERT(sizeof(hm_header_t) == 6, "hm_header_t is 6 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_header_t, cmd) == 0, "hm_header_t.cmd");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_header_t, arg) == 1, "hm_header_t.arg");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_header_t, body_len) == 2, "hm_header_t.body_len");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_header_t, retcode) == 4, "hm_header_t.retcode");

/* Kinds of hm_un_desc_t. */
#define HM_UN_DESC_SIGNATURE	1	/* a disk named by its MBR disk signature */
#define HM_UN_DESC_GUID		2	/* a disk named by a GUID text */

/*
 * A disk descriptor.  Its text offsets count from the start of the body,
 * except in UN_CMD_UPDATE_DISK, where they count from the descriptor itself.
 */
typedef struct hm_un_desc {
	uint8_t kind;
	uint8_t pad0;
	uint16_t path_off;
	uint16_t path_len;
	uint16_t pad1;
	union {
		uint32_t signature;		/* kind 1 */
		struct {
			uint16_t guid_off;	/* kind 2 */
			uint16_t guid_len;
		} __attribute__((packed)) g;
	} __attribute__((packed)) id;
	uint32_t param;		/* DISK_SYNC / DISK_RESYNC speed, else 0 */
} __attribute__((packed)) hm_un_desc_t;

HM_STATIC_ASSERT(sizeof(hm_un_desc_t) == 16, "hm_un_desc_t is 16 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_desc_t, kind) == 0, "hm_un_desc_t.kind");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_desc_t, pad0) == 1, "hm_un_desc_t.pad0");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_desc_t, path_off) == 2, "hm_un_desc_t.path_off");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_desc_t, path_len) == 4, "hm_un_desc_t.path_len");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_desc_t, pad1) == 6, "hm_un_desc_t.pad1");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_desc_t, id.signature) == 8, "hm_un_desc_t.signature");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_desc_t, id.g.guid_off) == 8, "hm_un_desc_t.guid_off");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_desc_t, id.g.guid_len) == 10, "hm_un_desc_t.guid_len");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_desc_t, param) == 12, "hm_un_desc_t.param");

/* The backup mode of SET_DISK_PROTECT and UN_CMD_UPDATE_DISK. */
#define HM_UN_MODE_BACKUP	1

/*
 * SET_DISK_PROTECT body: this fixed part, then from offset 36 the primary
 * path, the mirror path and the mirror GUID text, then 4 zero bytes.
 * body_len = 40 + the three text lengths.
 */
typedef struct hm_un_protect_req {
	uint32_t mode;			/* HM_UN_MODE_BACKUP */
	hm_un_desc_t primary;		/* kind 1: signature, primary path */
	hm_un_desc_t mirror;		/* kind 2: mirror path, mirror GUID text */
} __attribute__((packed)) hm_un_protect_req_t;

#define HM_UN_PROTECT_TEXT_OFF	36
#define HM_UN_PROTECT_TAIL	4	/* zero bytes after the texts */

HM_STATIC_ASSERT(sizeof(hm_un_protect_req_t) == HM_UN_PROTECT_TEXT_OFF, "protect request is 36 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_protect_req_t, mode) == 0, "protect.mode");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_protect_req_t, primary) == 4, "protect.primary");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_protect_req_t, mirror) == 20, "protect.mirror");

/*
 * UN_CMD_UPDATE_DISK body: mode, one descriptor, then the device path at
 * body offset 20 and, for kind 2, the GUID text right after it.  The
 * descriptor's offsets count from body byte 4 (the descriptor).
 */
typedef struct hm_un_update_req {
	uint32_t mode;			/* HM_UN_MODE_BACKUP */
	hm_un_desc_t disk;
} __attribute__((packed)) hm_un_update_req_t;

#define HM_UN_UPDATE_TEXT_OFF	20
#define HM_UN_UPDATE_BASE	4	/* what the descriptor's offsets count from */

HM_STATIC_ASSERT(sizeof(hm_un_update_req_t) == HM_UN_UPDATE_TEXT_OFF, "update request is 20 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_update_req_t, mode) == 0, "update.mode");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_un_update_req_t, disk) == HM_UN_UPDATE_BASE, "update.disk");

/* GET_HMDEV_INFO reply: two descriptors, texts from body offset 32. */
#define HM_UN_INFO_TEXT_OFF	32

/* mirctl's primary-descriptor body: descriptor, 16 zero bytes, path at 32. */
#define HM_UN_DESC_PATH_OFF	32

/* UN_CMD_API_CREATE_CDP body: this text filled with a GUID text. */
#define HM_UN_CDP_NAME_FMT	"zel_{%s}"

/* Field widths of hm_api_status_t (texts are terminated inside them). */
#define HM_API_STATE_LEN	32
#define HM_API_PATH_LEN		64
#define HM_API_GUID_LEN		64

/* One protection's status, as UN_CMD_API_GET_STATUS replies carry it. */
typedef struct hm_api_status {
	uint16_t index;				/* protection index */
	uint16_t percent;			/* synchronisation, 0 .. 100 */
	char sync_status[HM_API_STATE_LEN];	/* "Sync On", "UnSync", ... */
	char run_status[HM_API_STATE_LEN];	/* "Running" or "Stopped" */
	char primary_status[HM_API_STATE_LEN];	/* "Up", "Lost", "Faulty" */
	char primary_path[HM_API_PATH_LEN];
	char primary_guid[HM_API_GUID_LEN];
	char mirror_status[HM_API_STATE_LEN];	/* "Up", "Lost", "Faulty", "Locked" */
	char mirror_path[HM_API_PATH_LEN];
	char mirror_guid[HM_API_GUID_LEN];
} __attribute__((packed)) hm_api_status_t;

HM_STATIC_ASSERT(sizeof(hm_api_status_t) == 388, "hm_api_status_t is 388 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, index) == 0, "status.index");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, percent) == 2, "status.percent");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, sync_status) == 4, "status.sync_status");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, run_status) == 36, "status.run_status");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, primary_status) == 68, "status.primary_status");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, primary_path) == 100, "status.primary_path");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, primary_guid) == 164, "status.primary_guid");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, mirror_status) == 228, "status.mirror_status");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, mirror_path) == 260, "status.mirror_path");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_api_status_t, mirror_guid) == 324, "status.mirror_guid");

#ifdef __cplusplus
extern "C" {
#endif

/* Command names indexed by code (code 14 has an empty name), and result texts. */
extern const char un_cmd_string[HM_UN_CMD_COUNT][HM_UN_STRLEN];
extern const char un_retcode_string[HM_UN_RET_COUNT][HM_UN_STRLEN];

/*
 * Name of a command code and text of a result code, never null: a code
 * outside the tables gives "Unknown command" / "Unknown result code".
 */
const char *hm_un_cmd_name(unsigned int cmd);
const char *hm_un_retcode_text(unsigned int retcode);

#ifdef __cplusplus
}
#endif

#endif /* ZELMIR_HM_UNIX_H */
