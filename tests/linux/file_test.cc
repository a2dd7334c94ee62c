// Files from the kernel: device nodes, host files mapped onto the device
// that holds them (bmap, buffer heads, bios to that device's queue), holes,
// vfs_read, and claims on block devices.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim_env.h"

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/buffer_head.h>
#include <linux/completion.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/mm.h>
#include <linux/uaccess.h>

namespace {

std::string host_file(const std::string &name, size_t size, bool sparse) {
  std::string path = simtest::rundir() + "/" + name;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (sparse) {
    EXPECT_EQ(ftruncate(fd, (off_t)size), 0);
    std::vector<char> block(4096, 'A');
    EXPECT_EQ(pwrite(fd, block.data(), block.size(), 0), 4096);
  } else {
    std::vector<char> data(size);
    for (size_t i = 0; i < size; i++) data[i] = (char)('a' + (i / 4096) % 26);
    EXPECT_EQ(write(fd, data.data(), size), (ssize_t)size);
  }
  close(fd);
  return path;
}

std::string read_host(const std::string &path, off_t off, size_t len) {
  std::string s(len, '\0');
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(pread(fd, &s[0], len, off), (ssize_t)len);
  close(fd);
  return s;
}

struct BhWait {
  struct completion done;
  int uptodate = -1;
};

void bh_end(struct buffer_head *bh, int uptodate) {
  auto *w = static_cast<BhWait *>(bh->b_private);
  w->uptodate = uptodate;
  unlock_buffer(bh);
  complete(&w->done);
}

TEST(FileTest, BmapAndSubmitBhReadAndWriteAFileBlockInPlace) {
  std::string path = host_file("bitmap", 4 * 4096, false);
  struct file *f = filp_open(path.c_str(), O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(f));
  struct inode *inode = f->f_mapping->host;
  EXPECT_EQ(inode->i_bdev, nullptr);
  EXPECT_EQ(i_size_read(inode), 4 * 4096);
  ASSERT_NE(inode->i_sb, nullptr);
  struct block_device *fsdev = inode->i_sb->s_bdev;
  ASSERT_NE(fsdev, nullptr);
  EXPECT_EQ(fsdev->bd_contains, fsdev);
  unsigned bsize = 1u << inode->i_blkbits;

  struct page *page = alloc_page(GFP_KERNEL);
  struct buffer_head *bh = alloc_page_buffers(page, bsize, 0);
  ASSERT_NE(bh, nullptr);
  EXPECT_EQ(bh->b_this_page, nullptr) << "one 4 KiB buffer per page";
  bh->b_blocknr = bmap(inode, 2);
  ASSERT_NE(bh->b_blocknr, 0u);
  bh->b_bdev = fsdev;
  BhWait w;
  bh->b_private = &w;
  bh->b_end_io = bh_end;

  // Read block 2.
  init_completion(&w.done);
  lock_buffer(bh);
  set_buffer_mapped(bh);
  submit_bh(READ, bh);
  wait_for_completion(&w.done);
  EXPECT_EQ(w.uptodate, 1);
  EXPECT_EQ(std::string(bh->b_data, 4), "cccc");

  // Write it back changed, through submit_bh.
  memset(bh->b_data, 'Z', bsize);
  init_completion(&w.done);
  lock_buffer(bh);
  submit_bh(WRITE, bh);
  wait_for_completion(&w.done);
  EXPECT_EQ(w.uptodate, 1);
  EXPECT_EQ(read_host(path, 2 * 4096, 4096), std::string(4096, 'Z'));
  EXPECT_EQ(read_host(path, 1 * 4096, 4), "bbbb");
  EXPECT_EQ(read_host(path, 3 * 4096, 4), "dddd");

  free_buffer_head(bh);
  __free_page(page);
  filp_close(f, NULL);
}

struct BioWait {
  struct completion done;
  int err = 1;
};

void bio_end(struct bio *bio, int err) {
  auto *w = static_cast<BioWait *>(bio->bi_private);
  w->err = err;
  complete(&w->done);
}

TEST(FileTest, ABioToTheHoldingDevicesQueueWritesTheFile) {
  // The bitmap's page writes: a one-segment bio at block * (size / 512) +
  // the partition start, handed to the queue's make_request function.
  std::string path = host_file("bitmap2", 3 * 4096, false);
  struct file *f = filp_open(path.c_str(), O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(f));
  struct inode *inode = f->f_mapping->host;
  struct block_device *bdev = inode->i_sb->s_bdev;
  sector_t start = bdev->bd_part ? bdev->bd_part->start_sect : 0;
  EXPECT_EQ(start, 0u);
  struct request_queue *q = bdev_get_queue(bdev->bd_contains);
  sector_t block = bmap(inode, 1);
  ASSERT_NE(block, 0u);
  // As on a disk, the block stays the file's after the file is closed.
  filp_close(f, NULL);

  struct page *page = alloc_page(GFP_KERNEL);
  memset(page_address(page), 'Q', PAGE_SIZE);
  struct bio *bio = bio_alloc(GFP_NOIO, 1);
  bio->bi_bdev = bdev->bd_contains;
  bio->bi_sector = block * (4096 >> 9) + start;
  bio->bi_rw = WRITE;
  BioWait w;
  init_completion(&w.done);
  bio->bi_end_io = bio_end;
  bio->bi_private = &w;
  ASSERT_EQ(bio_add_page(bio, page, 4096, 0), 4096);
  EXPECT_EQ(q->make_request_fn(q, bio), 0);
  wait_for_completion(&w.done);
  EXPECT_EQ(w.err, 0);
  EXPECT_EQ(bio->bi_size, 0u) << "a completed bio has no bytes left";
  EXPECT_EQ(read_host(path, 4096, 4096), std::string(4096, 'Q'));
  EXPECT_EQ(read_host(path, 0, 4), "aaaa");
  bio_put(bio);
  __free_page(page);

  // A file made anew in its place gets blocks of its own.
  unlink(path.c_str());
  host_file("bitmap2", 3 * 4096, false);
  struct file *g = filp_open(path.c_str(), O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(g));
  EXPECT_NE(bmap(g->f_mapping->host, 1), block);
  filp_close(g, NULL);
}

TEST(FileTest, BmapOfAHoleOrPastTheEndIsZero) {
  std::string path = host_file("sparse", 8 * 4096, true);
  struct file *f = filp_open(path.c_str(), O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(f));
  struct inode *inode = f->f_mapping->host;
  EXPECT_NE(bmap(inode, 0), 0u);
  EXPECT_EQ(bmap(inode, 3), 0u);
  EXPECT_EQ(bmap(inode, 100), 0u);
  filp_close(f, NULL);

  // Two files never share blocks; the same file opened twice keeps its own.
  std::string other = host_file("other", 4096, false);
  struct file *a = filp_open(path.c_str(), O_RDONLY, 0);
  struct file *b = filp_open(other.c_str(), O_RDONLY, 0);
  struct file *a2 = filp_open(path.c_str(), O_RDONLY, 0);
  EXPECT_NE(bmap(a->f_mapping->host, 0), bmap(b->f_mapping->host, 0));
  EXPECT_EQ(bmap(a->f_mapping->host, 0), bmap(a2->f_mapping->host, 0));
  filp_close(a, NULL);
  filp_close(b, NULL);
  filp_close(a2, NULL);
}

TEST(FileTest, VfsReadAtTheFilesOwnPosition) {
  std::string path = simtest::rundir() + "/registry";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(write(fd, "hello world", 11), 11);
  close(fd);
  struct file *f = filp_open(path.c_str(), O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(f));
  mm_segment_t old = get_fs();
  set_fs(KERNEL_DS);
  char buf[8] = {0};
  EXPECT_EQ(vfs_read(f, buf, 5, &f->f_pos), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(vfs_read(f, buf, 8, &f->f_pos), 6);
  EXPECT_EQ(vfs_read(f, buf, 8, &f->f_pos), 0);
  set_fs(old);
  filp_close(f, NULL);
}

TEST(FileTest, OpeningDeviceNodesAndMissingPaths) {
  simtest::Disk disk("sdl", 4 << 20, "", simtest::mbr({{2048, 2048}}));
  ASSERT_EQ(disk.add_result(), 0);
  struct file *f = filp_open("/dev/sdl", O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(f));
  struct inode *node = f->f_dentry->d_inode;
  EXPECT_TRUE(S_ISBLK(node->i_mode));
  ASSERT_NE(node->i_bdev, nullptr);
  struct block_device *bdev = node->i_bdev;
  EXPECT_EQ(MAJOR(bdev->bd_dev), 8u);
  EXPECT_EQ(bdev->bd_contains, bdev);
  EXPECT_EQ(i_size_read(bdev->bd_inode), 4 << 20);
  EXPECT_EQ(f->f_mapping->host, bdev->bd_inode);
  char name[BDEVNAME_SIZE];
  EXPECT_STREQ(bdevname(bdev, name), "sdl");

  struct file *p = filp_open("/dev/sdl1", O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(p));
  struct block_device *part = p->f_dentry->d_inode->i_bdev;
  EXPECT_EQ(part->bd_contains, bdev);
  EXPECT_EQ(part->bd_part->start_sect, 2048u);
  EXPECT_EQ(part->bd_dev, bdev->bd_dev + 1);
  EXPECT_EQ(i_size_read(part->bd_inode), 2048 * 512);
  EXPECT_STREQ(bdevname(part, name), "sdl1");

  struct file *none = filp_open("/dev/sdl9", O_RDONLY, 0);
  EXPECT_TRUE(IS_ERR(none));
  EXPECT_EQ(PTR_ERR(none), -ENOENT);
  filp_close(p, NULL);
  filp_close(f, NULL);
}

TEST(FileTest, ClaimsWithHolders) {
  simtest::Disk disk("sdm", 4 << 20, "", simtest::mbr({{2048, 2048}}));
  struct file *f = filp_open("/dev/sdm", O_RDONLY, 0);
  struct file *p = filp_open("/dev/sdm1", O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(f));
  ASSERT_FALSE(IS_ERR(p));
  struct block_device *whole = f->f_dentry->d_inode->i_bdev;
  struct block_device *part = p->f_dentry->d_inode->i_bdev;
  int a, b;
  EXPECT_EQ(bd_claim(whole, &a), 0);
  EXPECT_EQ(bd_claim(whole, &a), 0) << "the same holder may claim again";
  EXPECT_EQ(bd_claim(whole, &b), -EBUSY);
  EXPECT_EQ(bd_claim(part, &b), -EBUSY) << "a partition of a held disk";
  bd_release(whole);
  EXPECT_EQ(bd_claim(whole, &b), -EBUSY) << "still held once";
  bd_release(whole);
  EXPECT_EQ(bd_claim(part, &b), 0);
  EXPECT_EQ(bd_claim(whole, &a), -EBUSY) << "a disk being partitioned";
  bd_release(part);
  EXPECT_EQ(bd_claim(whole, &a), 0);
  bd_release(whole);
  filp_close(p, NULL);
  filp_close(f, NULL);
}

TEST(FileTest, ClaimOrReleaseOfNoDeviceIsRefusedWithABugLine) {
  size_t before = simk::dmesg().size();
  int holder;
  EXPECT_EQ(bd_claim(NULL, &holder), -EINVAL);
  bd_release(NULL);
  std::string log = simk::dmesg().substr(before);
  EXPECT_NE(log.find("kernel BUG at"), std::string::npos) << log;
  EXPECT_NE(log.find("(bd_claim): no block device"), std::string::npos) << log;
  EXPECT_NE(log.find("(bd_release): no block device"), std::string::npos) << log;
}

}  // namespace
