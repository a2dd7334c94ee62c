/*
 * Files, inodes and block devices as the kernel sees them.
 *
 * filp_open("/dev/NAME") of a simulated disk or partition gives a file on
 * the device node: f_dentry->d_inode is the node (S_IFBLK, i_rdev, i_bdev,
 * i_size 0, as a node's is) and f_mapping->host is the block device's own
 * inode (bdev->bd_inode, whose i_size is the device's size in bytes).
 * Any other path opens that file of the host: its inode has no i_bdev, and
 * i_sb->s_bdev is the block device that stands for the host file system
 * holding it ("fs0", "fs1", ... one per host st_dev).  bmap() maps a block
 * of such a file onto that device, and a bio or buffer head sent there with
 * that block number reads or writes the file in place.
 */
#ifndef _LINUX_FS_H
#define _LINUX_FS_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/mutex.h>
#include <linux/kdev_t.h>
#include <linux/wait.h>
#include <asm/atomic.h>

#define READ			0
#define WRITE			1
#define READA			2
#define SWRITE			3
#define RW_MASK			1
#define RWA_MASK		2
/* bio_rw_flags bit numbers (see <linux/bio.h>) used in the compound forms */
#define __SIM_BIO_RW_BARRIER	5
#define __SIM_BIO_RW_SYNCIO	6
#define __SIM_BIO_RW_UNPLUG	7
#define __SIM_BIO_RW_NOIDLE	10
#define READ_SYNC		(READ | (1 << __SIM_BIO_RW_SYNCIO) | (1 << __SIM_BIO_RW_UNPLUG))
#define READ_META		READ
#define WRITE_SYNC_PLUG		(WRITE | (1 << __SIM_BIO_RW_SYNCIO) | (1 << __SIM_BIO_RW_NOIDLE))
#define WRITE_SYNC		(WRITE_SYNC_PLUG | (1 << __SIM_BIO_RW_UNPLUG))
#define WRITE_ODIRECT_PLUG	(WRITE | (1 << __SIM_BIO_RW_SYNCIO))
#define SWRITE_SYNC		(SWRITE | (1 << __SIM_BIO_RW_SYNCIO) | (1 << __SIM_BIO_RW_UNPLUG))
#define WRITE_BARRIER		(WRITE | (1 << __SIM_BIO_RW_BARRIER))

#define FMODE_READ		((fmode_t)0x1)
#define FMODE_WRITE		((fmode_t)0x2)
#define FMODE_LSEEK		((fmode_t)0x4)
#define FMODE_PREAD		((fmode_t)0x8)
#define FMODE_PWRITE		((fmode_t)0x10)
#define FMODE_EXCL		((fmode_t)0x80)

#define BDEVNAME_SIZE		32

struct page;
struct block_device;
struct gendisk;
struct hd_struct;
struct super_block;
struct inode;
struct file;
struct sim_inode;
struct sim_file;

struct address_space {
	struct inode *host;
	unsigned long nrpages;
	void *private_data;
};

struct super_block {
	dev_t s_dev;
	unsigned long s_blocksize;
	unsigned char s_blocksize_bits;
	struct block_device *s_bdev;	/* the device holding the file system, or NULL */
	char s_id[32];
	void *s_fs_info;
};

struct inode {
	unsigned long i_ino;
	atomic_t i_count;
	umode_t i_mode;
	unsigned int i_nlink;
	dev_t i_rdev;			/* for a device node: the device */
	loff_t i_size;
	unsigned int i_blkbits;
	u64 i_blocks;
	struct block_device *i_bdev;	/* for a block device node or a bdev inode */
	struct super_block *i_sb;
	struct address_space *i_mapping;
	struct address_space i_data;
	void *i_private;
	struct sim_inode *sim;
};

struct qstr {
	unsigned int hash;
	unsigned int len;
	const unsigned char *name;
};

struct dentry {
	atomic_t d_count;
	struct inode *d_inode;
	struct qstr d_name;
	struct dentry *d_parent;
	unsigned char d_iname[40];
};

struct vfsmount {
	struct dentry *mnt_root;
	struct super_block *mnt_sb;
};

struct path {
	struct vfsmount *mnt;
	struct dentry *dentry;
};

struct file {
	struct path f_path;
#define f_dentry	f_path.dentry
#define f_vfsmnt	f_path.mnt
	atomic_long_t f_count;
	unsigned int f_flags;
	fmode_t f_mode;
	loff_t f_pos;
	struct address_space *f_mapping;
	void *private_data;
	struct sim_file *sim;
};

typedef void *fl_owner_t;

struct file *filp_open(const char *filename, int flags, int mode);
int filp_close(struct file *filp, fl_owner_t id);
struct file *fget(unsigned int fd);
void fput(struct file *file);
#define get_file(x)	atomic_long_inc(&(x)->f_count)
#define file_count(x)	atomic_long_read(&(x)->f_count)

ssize_t vfs_read(struct file *file, char __user *buf, size_t count, loff_t *pos);
ssize_t vfs_write(struct file *file, const char __user *buf, size_t count, loff_t *pos);
int vfs_fsync(struct file *file, struct dentry *dentry, int datasync);
loff_t vfs_llseek(struct file *file, loff_t offset, int origin);

/* File block (in units of 1 << i_blkbits) to device block; 0 for a hole. */
sector_t bmap(struct inode *inode, sector_t block);

static inline loff_t i_size_read(const struct inode *inode) { return inode->i_size; }
static inline void i_size_write(struct inode *inode, loff_t i_size) { inode->i_size = i_size; }
static inline unsigned iminor(const struct inode *inode) { return MINOR(inode->i_rdev); }
static inline unsigned imajor(const struct inode *inode) { return MAJOR(inode->i_rdev); }

/* Block devices */
struct block_device {
	dev_t bd_dev;
	struct inode *bd_inode;		/* the device's own inode: i_size is its size */
	struct super_block *bd_super;
	int bd_openers;
	struct mutex bd_mutex;
	void *bd_holder;
	int bd_holders;
	struct block_device *bd_contains;	/* the whole disk (itself for a whole disk) */
	unsigned bd_block_size;
	struct hd_struct *bd_part;
	unsigned bd_part_count;
	int bd_invalidated;
	struct gendisk *bd_disk;
	struct list_head bd_list;
	unsigned long bd_private;
};

#define I_BDEV(inode)	((inode)->i_bdev)

struct block_device *bdget(dev_t dev);
void bdput(struct block_device *bdev);
struct block_device *bdgrab(struct block_device *bdev);
struct block_device *lookup_bdev(const char *path);
int bd_claim(struct block_device *bdev, void *holder);
void bd_release(struct block_device *bdev);
const char *bdevname(struct block_device *bdev, char *buffer);
const char *__bdevname(dev_t dev, char *buffer);
int sync_blockdev(struct block_device *bdev);
int fsync_bdev(struct block_device *bdev);
int set_blocksize(struct block_device *bdev, int size);
static inline int bdev_read_only(struct block_device *bdev) { (void)bdev; return 0; }

#endif /* _LINUX_FS_H */
