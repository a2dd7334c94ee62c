/*
 * Volume identity records shared, byte for byte, by the zelmir module and the
 * user-space programs that talk to it.  A primary disk is known by its MBR
 * signature, a mirror LUN by its SCSI GUID; both travel in the same 16 bytes.
 */
#ifndef ZELMIR_HM_VOLUME_H
#define ZELMIR_HM_VOLUME_H

#ifdef __KERNEL__
#include <linux/types.h>
#else
#include <stdint.h>
#endif

/*
 * The fixed lengths of the texts that name a disk, one name each, for the
 * module and user space alike.
 */
#define HM_NAME_LEN		128	/* a device path or GUID text field or buffer, with its terminator */
#define HM_GUID_TEXT_LEN	36	/* a GUID text: 8-4-4-4-12 hexadecimal digits */
#define HM_GUID_BUF_LEN		(HM_GUID_TEXT_LEN + 1)	/* with its terminator */

#ifdef __cplusplus
#define HM_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define HM_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#ifndef HM_OFFSETOF
#define HM_OFFSETOF(type, field) __builtin_offsetof(type, field)
#endif

struct guid {
	uint32_t data1;
	uint16_t data2;
	uint16_t data3;
	uint8_t data4[8];
} __attribute__((packed));
typedef struct guid guid_t;

HM_STATIC_ASSERT(sizeof(guid_t) == 16, "guid_t is 16 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(guid_t, data1) == 0, "guid_t.data1");
HM_STATIC_ASSERT(HM_OFFSETOF(guid_t, data2) == 4, "guid_t.data2");
HM_STATIC_ASSERT(HM_OFFSETOF(guid_t, data3) == 6, "guid_t.data3");
HM_STATIC_ASSERT(HM_OFFSETOF(guid_t, data4) == 8, "guid_t.data4");

struct hm_mbp_volumeid {
	uint32_t signature;	/* MBR disk signature = first group of the GUID */
	uint32_t first_sector;
	uint32_t pad1;
	uint32_t pad2;
} __attribute__((packed));

struct hm_san_volume_id {
	guid_t vol_guid;
} __attribute__((packed));

union volume_id {
	struct hm_mbp_volumeid mbp_volumeid;
	struct hm_san_volume_id san_volume_id;
} __attribute__((packed));
typedef union volume_id volume_id_t;

HM_STATIC_ASSERT(sizeof(struct hm_mbp_volumeid) == 16, "mbp_volumeid is 16 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(struct hm_mbp_volumeid, signature) == 0, "signature");
HM_STATIC_ASSERT(HM_OFFSETOF(struct hm_mbp_volumeid, first_sector) == 4, "first_sector");
HM_STATIC_ASSERT(HM_OFFSETOF(struct hm_mbp_volumeid, pad1) == 8, "pad1");
HM_STATIC_ASSERT(HM_OFFSETOF(struct hm_mbp_volumeid, pad2) == 12, "pad2");
HM_STATIC_ASSERT(sizeof(struct hm_san_volume_id) == 16, "san_volume_id is 16 bytes");
HM_STATIC_ASSERT(sizeof(volume_id_t) == 16, "volume_id_t is 16 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(volume_id_t, mbp_volumeid) == 0, "mbp view at 0");
HM_STATIC_ASSERT(HM_OFFSETOF(volume_id_t, san_volume_id) == 0, "san view at 0");

#endif /* ZELMIR_HM_VOLUME_H */
