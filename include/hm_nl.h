/*
 * Netlink protocol 21 between the zelmir module and user space (zelmird,
 * volreadd).  Shared byte for byte by both sides: every record is packed and
 * every size and offset is asserted below.  Integers are in host byte order.
 *
 * A message on the wire:
 *   0   16       netlink message header (length, type, flags, seq, port id)
 *   16  12       hm_nl_header_t
 *   28  msg_len  body
 * Senders always send HM_NL_MSG_SIZE (2064) bytes; replies are 2064 bytes too,
 * of which only 28 + msg_len carry meaning.
 */
#ifndef ZELMIR_HM_NL_H
#define ZELMIR_HM_NL_H

#include "hm_volume.h"

#define HM_NL_PROTOCOL		21		/* netlink protocol number */
#define HM_NL_MAGIC		0x484D4E4CU	/* "LNMH" in memory, 1213025868 */
#define HM_NL_NLHDR_LEN		16		/* the netlink message header */
#define HM_NL_PAYLOAD		2048		/* hm_nl_header_t + body */
#define HM_NL_MSG_SIZE		(HM_NL_NLHDR_LEN + HM_NL_PAYLOAD)	/* 2064 */
#define HM_NL_HDR_OFF		HM_NL_NLHDR_LEN			/* 16 */
#define HM_NL_BODY_OFF		(HM_NL_NLHDR_LEN + 12)		/* 28 */
#define HM_NL_BODY_MAX		(HM_NL_PAYLOAD - 12)		/* 2036 */
#define HM_NL_CMD_STRLEN	64

/* Return codes carried (as positive numbers) in hm_nl_header_t.retcode. */
#define HM_NL_RET_OK		0
#define HM_NL_RET_ENOENT	2	/* no such protection, or no bitmap */
#define HM_NL_RET_EIO		5	/* bitmap superblock could not be written */
#define HM_NL_RET_EBADF		9
#define HM_NL_RET_ENOMEM	12	/* no memory for the request body */
#define HM_NL_RET_EBUSY		16	/* I/O in flight, or already being deleted */
#define HM_NL_RET_EINVAL	22

enum hm_nl_cmd {
	HM_NL_CMD_NULL = 0,
	HM_NL_CMD_ADD_PROTECT = 1,
	HM_NL_CMD_STOP_PROTECT = 2,
	HM_NL_CMD_DEL_PROTECT = 3,
	HM_NL_CMD_SET_PROTECT_MODE = 4,
	HM_NL_CMD_GET_PROTECT_MODE = 5,
	HM_NL_CMD_GET_STATUS = 6,
	HM_NL_CMD_GET_STATUS_ALL = 7,
	HM_NL_CMD_INITIALIZE = 8,
	HM_NL_CMD_CANCEL_INITIALIZE = 9,
	HM_NL_CMD_REMOVE_MODULE = 10,
	HM_NL_CMD_CREATE_CDP = 11,
	HM_NL_CMD_SET_USER_SERVER = 12,
	HM_NL_CMD_FORBID_MIRROR_IO = 13,
	HM_NL_CMD_CANCEL_FORBID_MIRROR_IO = 14,
	HM_NL_CMD_FORBID_MIRROR_ALL = 15,
	HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL = 16,
	HM_NL_CMD_FINISHED_INITIALIZE = 17,
	HM_NL_CMD_LOCK_MIRROR_RDEV = 18,
	HM_NL_CMD_UNLOCK_MIRROR_RDEV = 19,
	HM_NL_CMD_SYNC_START = 20,
	HM_NL_CMD_FAIL_MIRROR = 21,
	HM_NL_CMD_UP_MIRROR = 22,
	HM_NL_CMD_SET_SYNC_SPEED_MAX = 23,
	HM_NL_CMD_UPDATE_HMDEV = 24,
	HM_NL_CMD_MAX = 25,
};

#ifdef __cplusplus
inline constexpr
#else
static const
#endif
char nl_cmd_string[HM_NL_CMD_MAX][HM_NL_CMD_STRLEN] = {
	"Null",
	"Add Protection",
	"Stop Protection",
	"Del Protection",
	"Set Protection Mode",
	"Get Protection Mode",
	"Get Protection Status",
	"Get All Protection Status",
	"Initialize Protection",
	"Cancel Initialize of Protection",
	"Remove Module",
	"Create CDP Of Protection",
	"Set User Server",
	"Forbid mirror disk io",
	"Cancel forbid mirror disk io",
	"Forbid mirror disk all",
	"Cancel forbid mirror disk all",
	"HA finished initialize",
	"HA lock mirror rdev",
	"HA unlock mirror rdev",
	"HA start sync cmd",
	"HM Fail mirror disk",
	"HM Up mirror disk",
	"HM Set sync speed max",
	"HM faulty disk",
};

/* Protection status bits (bit numbers of hm_nl_status_t.status). */
enum hm_dev_status_bit {
	HM_INITIALIZE_ON = 0,		/* full copy requested or running */
	HM_INITIALIZE_CANCELED = 1,
	HM_INITIALIZE_FINISHED = 2,
	HM_RECOVERY_NEEDED = 4,		/* writes missed the mirror */
	HM_RECOVERY_ON = 5,
	HM_RECOVERY_FINISHED = 6,
	HM_SYNC_ERR = 8,		/* a working member was lost */
	HM_SYNC_INTR = 9,		/* copy interrupted */
	HM_BITMAP_WRITE_ERR = 10,	/* a bitmap page write failed (reported, not kept) */
	HM_DEV_LOCKED = 27,		/* mirror locked */
	HM_DEV_STOPPED = 28,
	HM_DEV_DELETING = 29,
	HM_DEV_LOST = 30,		/* primary lost */
	HM_DEV_FOUND = 31,		/* primary back */
};

/* Member status bits (bit numbers of hm_nl_vol_status_t.status). */
enum hm_rdev_status_bit {
	Faulty = 1,
	In_Sync = 2,
	Stopped = 4,
	Locked = 6,
};

/* 12 bytes: first in every request and reply payload. */
struct hm_nl_header_s {
	uint8_t cmd;
	uint8_t pad;
	uint16_t msg_len;	/* body bytes after this header */
	uint32_t retcode;	/* 0 in requests; 0 or a positive errno in replies */
	uint32_t magic;		/* HM_NL_MAGIC in requests */
} __attribute__((packed));
typedef struct hm_nl_header_s hm_nl_header_t;

HM_STATIC_ASSERT(sizeof(hm_nl_header_t) == 12, "hm_nl_header_t is 12 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_header_t, cmd) == 0, "cmd");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_header_t, pad) == 1, "pad");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_header_t, msg_len) == 2, "msg_len");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_header_t, retcode) == 4, "retcode");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_header_t, magic) == 8, "magic");

/* 8 bytes: first in the bodies of Add Protection and HM faulty disk. */
struct hm_nl_header1_s {
	uint8_t mode;
	uint8_t nr_vol;		/* 1 (primary) or 2 (primary and mirror) */
	uint16_t pad;
	uint32_t fd;
} __attribute__((packed));
typedef struct hm_nl_header1_s hm_nl_header1_t;

HM_STATIC_ASSERT(sizeof(hm_nl_header1_t) == 8, "hm_nl_header1_t is 8 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_header1_t, mode) == 0, "mode");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_header1_t, nr_vol) == 1, "nr_vol");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_header1_t, pad) == 2, "pad");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_header1_t, fd) == 4, "fd");

/* 160 bytes per disk named in a request; its path follows at dev_name_off. */
struct hm_nl_volume_s {
	volume_id_t vid;
	char uuid[HM_NAME_LEN];	/* GUID text, NUL-padded; the key */
	uint64_t sector_max;
	uint16_t dev_name_off;		/* from the start of the body */
	uint16_t dev_name_len;		/* without a NUL */
	uint8_t _pad[4];
} __attribute__((packed));
typedef struct hm_nl_volume_s hm_nl_volume_t;

HM_STATIC_ASSERT(sizeof(hm_nl_volume_t) == 160, "hm_nl_volume_t is 160 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_volume_t, vid) == 0, "vid");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_volume_t, uuid) == 16, "uuid");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_volume_t, sector_max) == 144, "sector_max");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_volume_t, dev_name_off) == 152, "dev_name_off");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_volume_t, dev_name_len) == 154, "dev_name_len");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_volume_t, _pad) == 156, "padding");

/* 48 bytes: one member in hm_nl_status_t. */
struct hm_nl_vol_status_s {
	uint64_t status;	/* member flag word */
	volume_id_t vid;
	uint16_t pad;
	uint8_t _pad1[6];
	uint64_t sector_max;	/* always 0 */
	int32_t nr_pending;
	uint8_t _pad2[4];
} __attribute__((packed));
typedef struct hm_nl_vol_status_s hm_nl_vol_status_t;

HM_STATIC_ASSERT(sizeof(hm_nl_vol_status_t) == 48, "hm_nl_vol_status_t is 48 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_vol_status_t, status) == 0, "status");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_vol_status_t, vid) == 8, "vid");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_vol_status_t, pad) == 24, "pad");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_vol_status_t, _pad1) == 26, "padding");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_vol_status_t, sector_max) == 32, "sector_max");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_vol_status_t, nr_pending) == 40, "nr_pending");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_vol_status_t, _pad2) == 44, "padding");

/* 168 bytes: the body of the reply to Get Protection Status. */
struct hm_nl_status_s {
	uint8_t mode;
	uint8_t nr_vol;
	uint8_t sync_on;
	uint8_t pad;
	uint8_t bitmap_status;
	uint8_t _pad[3];
	uint64_t status;		/* protection status bits */
	hm_nl_vol_status_t primary;
	hm_nl_vol_status_t mirror;
	uint64_t sector_synced;
	uint64_t sync_need;		/* always 0 */
	uint32_t sync_pending;
	uint32_t writes_pending;	/* always 0 */
	uint32_t hmbio_pending;
	uint32_t alloced_mempage;
	uint32_t mempages;
	uint32_t chunk_needed;
	uint64_t time2lst_rio;		/* seconds */
	uint64_t time2lst_wio;		/* seconds */
} __attribute__((packed));
typedef struct hm_nl_status_s hm_nl_status_t;

HM_STATIC_ASSERT(sizeof(hm_nl_status_t) == 168, "hm_nl_status_t is 168 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, mode) == 0, "mode");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, nr_vol) == 1, "nr_vol");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, sync_on) == 2, "sync_on");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, pad) == 3, "pad");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, bitmap_status) == 4, "bitmap_status");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, _pad) == 5, "padding");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, status) == 8, "status");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, primary) == 16, "primary");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, mirror) == 64, "mirror");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, sector_synced) == 112, "sector_synced");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, sync_need) == 120, "sync_need");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, sync_pending) == 128, "sync_pending");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, writes_pending) == 132, "writes_pending");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, hmbio_pending) == 136, "hmbio_pending");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, alloced_mempage) == 140, "alloced_mempage");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, mempages) == 144, "mempages");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, chunk_needed) == 148, "chunk_needed");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, time2lst_rio) == 152, "time2lst_rio");
HM_STATIC_ASSERT(HM_OFFSETOF(hm_nl_status_t, time2lst_wio) == 160, "time2lst_wio");

HM_STATIC_ASSERT(HM_NL_MSG_SIZE == 2064, "a netlink message is 2064 bytes");
HM_STATIC_ASSERT(HM_NL_BODY_OFF == 28, "bodies start at 28");

#endif /* ZELMIR_HM_NL_H */
