// Our own declarations of the block-device and SCSI generic ioctl ABI that
// the library passes through the host layer.
#ifndef ZELMIR_LIB_BLK_H
#define ZELMIR_LIB_BLK_H

#include <stddef.h>
#include <stdint.h>

// _IOR(0x12, 114, size_t): the device size in bytes, as a 64-bit count.
#define HM_BLKGETSIZE64 0x80081272UL
// The SCSI generic pass-through request.
#define HM_SG_IO 0x2285UL

#define HM_SG_INTERFACE_ID 'S'
#define HM_SG_DXFER_NONE (-1)
#define HM_SG_DXFER_TO_DEV (-2)
#define HM_SG_DXFER_FROM_DEV (-3)
#define HM_SG_INFO_CHECK 0x1u   // info word: a check condition happened

// The SG_IO request record, laid out as the kernel's interface has it.
struct hm_sg_io_hdr {
  int interface_id;
  int dxfer_direction;
  unsigned char cmd_len;
  unsigned char mx_sb_len;
  unsigned short iovec_count;
  unsigned int dxfer_len;
  void *dxferp;
  unsigned char *cmdp;
  unsigned char *sbp;
  unsigned int timeout;        // milliseconds
  unsigned int flags;
  int pack_id;
  void *usr_ptr;
  unsigned char status;
  unsigned char masked_status;
  unsigned char msg_status;
  unsigned char sb_len_wr;     // sense bytes written
  unsigned short host_status;
  unsigned short driver_status;
  int resid;
  unsigned int duration;
  unsigned int info;
};

static_assert(sizeof(hm_sg_io_hdr) == 88, "sg_io_hdr is 88 bytes");
static_assert(offsetof(hm_sg_io_hdr, dxfer_len) == 12, "sg_io_hdr.dxfer_len");
static_assert(offsetof(hm_sg_io_hdr, dxferp) == 16, "sg_io_hdr.dxferp");
static_assert(offsetof(hm_sg_io_hdr, cmdp) == 24, "sg_io_hdr.cmdp");
static_assert(offsetof(hm_sg_io_hdr, sbp) == 32, "sg_io_hdr.sbp");
static_assert(offsetof(hm_sg_io_hdr, timeout) == 40, "sg_io_hdr.timeout");
static_assert(offsetof(hm_sg_io_hdr, usr_ptr) == 56, "sg_io_hdr.usr_ptr");
static_assert(offsetof(hm_sg_io_hdr, status) == 64, "sg_io_hdr.status");
static_assert(offsetof(hm_sg_io_hdr, sb_len_wr) == 67, "sg_io_hdr.sb_len_wr");
static_assert(offsetof(hm_sg_io_hdr, host_status) == 68, "sg_io_hdr.host_status");
static_assert(offsetof(hm_sg_io_hdr, resid) == 72, "sg_io_hdr.resid");
static_assert(offsetof(hm_sg_io_hdr, info) == 80, "sg_io_hdr.info");

#endif  // ZELMIR_LIB_BLK_H
