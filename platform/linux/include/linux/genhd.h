#ifndef _LINUX_GENHD_H
#define _LINUX_GENHD_H

#include <linux/types.h>
#include <linux/kdev_t.h>

struct request_queue;
struct block_device;
struct sim_disk;

#define DISK_NAME_LEN	32

struct hd_struct {
	sector_t start_sect;		/* first sector on the whole disk */
	sector_t nr_sects;
	int partno;			/* 0 for the whole disk */
	struct gendisk *__disk;
};

struct gendisk {
	int major;
	int first_minor;
	int minors;
	char disk_name[DISK_NAME_LEN];
	struct hd_struct part0;		/* the whole disk */
	struct request_queue *queue;
	void *private_data;
	int flags;
	struct sim_disk *sim;
};

static inline sector_t get_capacity(struct gendisk *disk) { return disk->part0.nr_sects; }
static inline void set_capacity(struct gendisk *disk, sector_t size) { disk->part0.nr_sects = size; }
static inline dev_t disk_devt(struct gendisk *disk) { return MKDEV(disk->major, disk->first_minor); }
static inline struct gendisk *part_to_disk(struct hd_struct *part) { return part->__disk; }

#endif /* _LINUX_GENHD_H */
