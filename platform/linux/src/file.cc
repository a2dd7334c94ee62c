// Files opened from the kernel: device nodes of simulated disks and files
// of the host.  Each host file system (one per host st_dev) is stood for by
// a block device of its own ("fs0", "fs1", ...): bmap gives every block of
// a host file a block number on that device, and the device's I/O reads
// and writes the host file at that block, so a bio or buffer head sent
// there lands in the file in place.
//
// Block numbers: a host file gets a slot k >= 1 when its inode is first
// made; its block b (of 4096 bytes) is device block (k << 32) + b.  As on a
// disk, the block numbers stay good after the file is closed: the inode is
// kept with a descriptor of its own for as long as the emulation runs (a
// file deleted meanwhile keeps its old blocks; a new file gets new ones).
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <map>
#include <memory>

#include "disk.h"

#include <linux/fs.h>
#include <linux/blkdev.h>
#include <linux/bio.h>
#include <linux/slab.h>

// The emulation's own part of an inode of a host file.
struct sim_inode {
	dev_t host_dev = 0;		// host st_dev and st_ino: the inode's identity
	ino_t host_ino = 0;
	uint64_t slot = 0;
	int rw_fd = -1;			// for block I/O through the file system's device
	std::string path;
	int refs = 0;			// files open on it and I/O in flight; under files_mu
	bool stale = false;		// the host file was deleted: no longer found by identity
	struct inode inode;
	struct dentry dentry;
};

// The emulation's own part of a struct file.
struct sim_file {
	int fd = -1;			// the host file's descriptor (as opened), or -1 for a device node
	struct block_device *bdev = nullptr;	// a device node's block device (holds a reference)
	sim_inode *si = nullptr;
	struct dentry dentry;		// a device node's dentry
	struct vfsmount mnt;
};

namespace {

constexpr unsigned kBlockBits = 12;
constexpr int kSlotShift = 32;		// blocks per slot: 2^32 (16 TiB files)

std::mutex files_mu;
std::map<std::pair<uint64_t, uint64_t>, sim_inode *> inodes;	// by (st_dev, st_ino)
std::map<uint64_t, sim_inode *> by_slot;
uint64_t next_slot = 1;

struct host_fs {
	struct super_block sb;
	struct block_device *bdev;
};
std::map<uint64_t, host_fs *> host_fss;	// by host st_dev

struct super_block node_sb;		// the /dev file system: no device under it

void fs_device_io(struct sim_disk *d, struct bio *bio);

host_fs *host_fs_for(uint64_t st_dev)
{
	auto it = host_fss.find(st_dev);
	if (it != host_fss.end())
		return it->second;
	host_fs *fs = new host_fs();
	unsigned index = (unsigned)host_fss.size();
	std::string name = "fs" + std::to_string(index);
	fs->bdev = simlinux::fs_device_create(name, MKDEV(0, 16 + index), fs_device_io);
	fs->sb.s_dev = fs->bdev->bd_dev;
	fs->sb.s_blocksize = 1UL << kBlockBits;
	fs->sb.s_blocksize_bits = kBlockBits;
	fs->sb.s_bdev = fs->bdev;
	snprintf(fs->sb.s_id, sizeof(fs->sb.s_id), "%s", name.c_str());
	host_fss[st_dev] = fs;
	return fs;
}

// Whether a kept inode still is the host file of that identity.
bool still_there(sim_inode *si)
{
	struct stat st;
	return si->rw_fd >= 0 && fstat(si->rw_fd, &st) == 0 && st.st_nlink > 0;
}

// Under files_mu.  fd is the descriptor just opened on the file.
sim_inode *inode_get(const struct stat &st, const std::string &path, int fd)
{
	auto key = std::make_pair((uint64_t)st.st_dev, (uint64_t)st.st_ino);
	auto it = inodes.find(key);
	sim_inode *si;
	if (it != inodes.end() && !still_there(it->second)) {
		it->second->stale = true;
		inodes.erase(it);
		it = inodes.end();
	}
	if (it != inodes.end()) {
		si = it->second;
	} else {
		si = new sim_inode();
		si->host_dev = (dev_t)st.st_dev;
		si->host_ino = st.st_ino;
		si->slot = next_slot++;
		si->path = path;
		// Block I/O writes even through a file opened read-only: reopen the
		// same inode (not the path, which may have changed) for writing.
		char self[64];
		snprintf(self, sizeof(self), "/proc/self/fd/%d", fd);
		si->rw_fd = open(self, O_RDWR | O_CLOEXEC);
		if (si->rw_fd < 0)
			si->rw_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
		host_fs *fs = host_fs_for(st.st_dev);
		struct inode *in = &si->inode;
		memset(in, 0, sizeof(*in));
		atomic_set(&in->i_count, 1);
		in->i_ino = st.st_ino;
		in->i_mode = (umode_t)st.st_mode;
		in->i_nlink = (unsigned)st.st_nlink;
		in->i_blkbits = kBlockBits;
		in->i_sb = &fs->sb;
		in->i_data.host = in;
		in->i_mapping = &in->i_data;
		in->sim = si;
		memset(&si->dentry, 0, sizeof(si->dentry));
		si->dentry.d_inode = in;
		atomic_set(&si->dentry.d_count, 1);
		inodes[key] = si;
		by_slot[si->slot] = si;
	}
	si->inode.i_size = st.st_size;
	si->inode.i_blocks = (u64)st.st_blocks;
	si->refs++;
	return si;
}

void inode_put(sim_inode *si)
{
	std::lock_guard<std::mutex> lk(files_mu);
	--si->refs;
}

void refresh_size(sim_inode *si, int fd)
{
	struct stat st;
	if (fstat(fd, &st) == 0)
		si->inode.i_size = st.st_size;
}

struct file *file_alloc(unsigned flags)
{
	struct file *f = new file();
	memset(f, 0, sizeof(*f));
	f->sim = new sim_file();
	atomic_long_set(&f->f_count, 1);
	f->f_flags = flags;
	unsigned acc = flags & O_ACCMODE;
	f->f_mode = FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE;
	if (acc == O_RDONLY || acc == O_RDWR)
		f->f_mode |= FMODE_READ;
	if (acc == O_WRONLY || acc == O_RDWR)
		f->f_mode |= FMODE_WRITE;
	return f;
}

struct file *file_on_host_fd(int fd, unsigned flags, const std::string &path)
{
	struct stat st;
	if (fstat(fd, &st) != 0) {
		int err = -errno;
		close(fd);
		return (struct file *)ERR_PTR(err);
	}
	struct file *f = file_alloc(flags);
	f->sim->fd = fd;
	{
		std::lock_guard<std::mutex> lk(files_mu);
		f->sim->si = inode_get(st, path, fd);
	}
	f->f_path.dentry = &f->sim->si->dentry;
	f->f_path.mnt = &f->sim->mnt;
	f->f_mapping = f->sim->si->inode.i_mapping;
	return f;
}

struct file *file_on_bdev(struct block_device *bdev, unsigned flags, const std::string &name)
{
	sim_node *node = nullptr;
	sim_disk *d = bdev->bd_disk->sim;
	for (auto &n : d->nodes)
		if (&n->bdev == bdev)
			node = n.get();
	struct file *f = file_alloc(flags);
	f->sim->bdev = bdev;
	struct dentry *de = &f->sim->dentry;
	atomic_set(&de->d_count, 1);
	de->d_inode = &node->node_inode;
	node->node_inode.i_sb = &node_sb;
	snprintf((char *)de->d_iname, sizeof(de->d_iname), "%s", name.c_str());
	de->d_name.name = de->d_iname;
	de->d_name.len = (unsigned)strlen((char *)de->d_iname);
	f->f_path.dentry = de;
	f->f_path.mnt = &f->sim->mnt;
	f->f_mapping = bdev->bd_inode->i_mapping;
	__atomic_add_fetch(&bdev->bd_openers, 1, __ATOMIC_SEQ_CST);
	return f;
}

// Where a path names a simulated disk or partition: "/dev/NAME", directly
// or through symbolic links.
struct block_device *bdev_of_path(const char *filename)
{
	std::string p = filename;
	if (p.rfind("/dev/", 0) == 0 && p.find('/', 5) == std::string::npos) {
		if (struct block_device *b = simlinux::bdev_lookup(p.substr(5)))
			return b;
	}
	char real[PATH_MAX];
	if (realpath(filename, real)) {
		std::string r = real;
		if (r != p && r.rfind("/dev/", 0) == 0 && r.find('/', 5) == std::string::npos)
			return simlinux::bdev_lookup(r.substr(5));
	}
	return nullptr;
}

/* the file systems' block devices */

sim_inode *inode_by_sector(sector_t sector, uint64_t *file_off)
{
	uint64_t byte = (uint64_t)sector << 9;
	uint64_t slot = byte >> (kSlotShift + kBlockBits);
	std::lock_guard<std::mutex> lk(files_mu);
	auto it = by_slot.find(slot);
	if (it == by_slot.end())
		return nullptr;
	it->second->refs++;
	*file_off = byte & ((1ULL << (kSlotShift + kBlockBits)) - 1);
	return it->second;
}

int rw_fd_of(sim_inode *si)
{
	return si->rw_fd;
}

void fs_device_io(struct sim_disk *d, struct bio *bio)
{
	(void)d;
	bool write = bio_data_dir(bio) == WRITE;
	int err = 0;
	if (bio->bi_size) {
		uint64_t off = 0;
		sim_inode *si = inode_by_sector(bio->bi_sector, &off);
		if (!si) {
			printk("<3>%s: no file at sector %llu\n", d->name.c_str(),
			       (unsigned long long)bio->bi_sector);
			err = -EIO;
		} else {
			int fd = rw_fd_of(si);
			struct iovec iov[BIO_MAX_PAGES];
			int n = 0;
			for (int i = bio->bi_idx; i < bio->bi_vcnt; i++) {
				struct bio_vec *bv = &bio->bi_io_vec[i];
				iov[n].iov_base = (char *)page_address(bv->bv_page) + bv->bv_offset;
				iov[n].iov_len = bv->bv_len;
				n++;
			}
			ssize_t r = write ? pwritev(fd, iov, n, (off_t)off) : preadv(fd, iov, n, (off_t)off);
			if (r < 0)
				err = -EIO;
			else if ((size_t)r < bio->bi_size) {
				if (write) {
					err = -EIO;
				} else {
					// Past the end of the file: zeros.
					size_t skip = (size_t)r;
					for (int i = 0; i < n; i++) {
						if (skip >= iov[i].iov_len) {
							skip -= iov[i].iov_len;
							continue;
						}
						memset((char *)iov[i].iov_base + skip, 0, iov[i].iov_len - skip);
						skip = 0;
					}
				}
			}
			if (!err && write && bio_barrier(bio) && fdatasync(fd) != 0)
				err = -EIO;
			inode_put(si);
		}
	}
	simlinux::bio_complete(bio, err);
}

}  // namespace

namespace simlinux {

void files_shutdown()
{
	std::lock_guard<std::mutex> lk(files_mu);
	for (auto &kv : by_slot) {
		if (kv.second->rw_fd >= 0)
			close(kv.second->rw_fd);
		delete kv.second;
	}
	by_slot.clear();
	inodes.clear();
	for (auto &kv : host_fss)
		delete kv.second;
	host_fss.clear();
}

}  // namespace simlinux

struct file *filp_open(const char *filename, int flags, int mode)
{
	might_sleep();
	if (!filename || !*filename)
		return (struct file *)ERR_PTR(-ENOENT);
	if (struct block_device *bdev = bdev_of_path(filename))
		return file_on_bdev(bdev, (unsigned)flags, filename);
	int fd = open(filename, (flags & ~O_LARGEFILE) | O_CLOEXEC, mode);
	if (fd < 0)
		return (struct file *)ERR_PTR(-errno);
	return file_on_host_fd(fd, (unsigned)flags, filename);
}

static void file_release(struct file *f)
{
	if (f->sim->bdev) {
		__atomic_sub_fetch(&f->sim->bdev->bd_openers, 1, __ATOMIC_SEQ_CST);
		bdput(f->sim->bdev);
	}
	if (f->sim->fd >= 0)
		close(f->sim->fd);
	if (f->sim->si)
		inode_put(f->sim->si);
	delete f->sim;
	delete f;
}

void fput(struct file *file)
{
	if (atomic_long_dec_and_test(&file->f_count))
		file_release(file);
}

int filp_close(struct file *filp, fl_owner_t id)
{
	(void)id;
	if (!filp || IS_ERR(filp))
		return -EBADF;
	fput(filp);
	return 0;
}

// The calling process's descriptor: here, the simulated kernel's own.
struct file *fget(unsigned int fd)
{
	int nfd = fcntl((int)fd, F_DUPFD_CLOEXEC, 0);
	if (nfd < 0)
		return NULL;
	int fl = fcntl(nfd, F_GETFL);
	char link[64], target[PATH_MAX];
	snprintf(link, sizeof(link), "/proc/self/fd/%d", nfd);
	ssize_t n = readlink(link, target, sizeof(target) - 1);
	target[n > 0 ? n : 0] = '\0';
	struct file *f = file_on_host_fd(nfd, fl < 0 ? O_RDONLY : (unsigned)fl, target);
	return IS_ERR(f) ? NULL : f;
}

static ssize_t bdev_file_rw(struct file *file, bool write, char *buf, size_t count, loff_t *pos)
{
	struct block_device *bdev = file->sim->bdev;
	loff_t size = i_size_read(bdev->bd_inode);
	if (*pos >= size)
		return 0;
	if ((loff_t)count > size - *pos)
		count = (size_t)(size - *pos);
	if (count == 0)
		return 0;
	if (count > (1u << 30))
		count = 1u << 30;
	int err = simlinux::bdev_rw_bytes(bdev, write, (uint64_t)*pos, buf, (uint32_t)count);
	if (err)
		return err;
	*pos += count;
	return (ssize_t)count;
}

ssize_t vfs_read(struct file *file, char __user *buf, size_t count, loff_t *pos)
{
	might_sleep();
	if (!(file->f_mode & FMODE_READ))
		return -EBADF;
	if (file->sim->bdev)
		return bdev_file_rw(file, false, buf, count, pos);
	ssize_t n = pread(file->sim->fd, buf, count, *pos);
	if (n < 0)
		return -errno;
	*pos += n;
	return n;
}

ssize_t vfs_write(struct file *file, const char __user *buf, size_t count, loff_t *pos)
{
	might_sleep();
	if (!(file->f_mode & FMODE_WRITE))
		return -EBADF;
	if (file->sim->bdev)
		return bdev_file_rw(file, true, const_cast<char *>(buf), count, pos);
	ssize_t n = pwrite(file->sim->fd, buf, count, *pos);
	if (n < 0)
		return -errno;
	*pos += n;
	refresh_size(file->sim->si, file->sim->fd);
	return n;
}

int vfs_fsync(struct file *file, struct dentry *dentry, int datasync)
{
	(void)dentry;
	might_sleep();
	if (file->sim->bdev)
		return blkdev_issue_flush(file->sim->bdev, NULL) == -EIO ? -EIO : 0;
	int r = datasync ? fdatasync(file->sim->fd) : fsync(file->sim->fd);
	return r ? -errno : 0;
}

loff_t vfs_llseek(struct file *file, loff_t offset, int origin)
{
	loff_t size = file->sim->bdev ? i_size_read(file->sim->bdev->bd_inode)
				      : i_size_read(file->f_mapping->host);
	loff_t pos;
	switch (origin) {
	case SEEK_SET:
		pos = offset;
		break;
	case SEEK_CUR:
		pos = file->f_pos + offset;
		break;
	case SEEK_END:
		pos = size + offset;
		break;
	default:
		return -EINVAL;
	}
	if (pos < 0)
		return -EINVAL;
	file->f_pos = pos;
	return pos;
}

sector_t bmap(struct inode *inode, sector_t block)
{
	sim_inode *si = inode->sim;
	if (!si) {
		// A block device's own inode maps every block onto itself.
		return inode->i_bdev ? block : 0;
	}
	if (block >> kSlotShift)
		return 0;
	int fd = rw_fd_of(si);
	if (fd < 0)
		return 0;
	refresh_size(si, fd);
	off_t off = (off_t)block << kBlockBits;
	off_t data = lseek(fd, off, SEEK_DATA);
	// Past the end, or no data anywhere in this block: a hole.
	if (data < 0 || data >= off + (off_t)(1 << kBlockBits))
		return 0;
	return ((sector_t)si->slot << kSlotShift) + block;
}
