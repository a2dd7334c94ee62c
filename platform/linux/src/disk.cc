// Simulated disks: an image file under a request queue whose driver does
// the I/O in interrupt context, on the I/O threads or on a thread waiting
// in user I/O, and completes the bio there.  Also the I/O thread pool, the
// disk table, partitions from the MBR, fault injection, and the user-space
// block I/O entry (simk::user_io).
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <deque>
#include <memory>
#include <thread>

#include "disk.h"

#include <linux/blkdev.h>
#include <linux/bio.h>
#include <linux/genhd.h>
#include <linux/hardirq.h>
#include <linux/slab.h>

namespace {

/* the I/O threads */

struct io_helper;

struct io_work {
	void (*fn)(void *, void *);
	void *a, *b;
	io_helper *owner;	// who waits for it, or null; only compared, as it may be gone
	bool light;		// shorter than a wake-up: it may wait for its owner
};

// Work that takes a thread less time than waking another: a page cache
// write of up to 64 KiB against the 5 to 20 µs a woken thread takes to run.
constexpr unsigned int kLightBytes = 64 << 10;

// A thread waiting in bdev_rw for its own bios.  Rather than sleep until an
// I/O thread has run them and woken it, it runs queued work itself (the
// block layer's polled completion: the submitter reaps its own I/O), so a
// request from user space costs no hop to an I/O thread and none back.
// Its bios carry it as their owner, and so do their clones: when a driver's
// thread sends the clones on, they go to it first, and it runs its own
// work before anyone else's.  Light work whose owner is busy running other
// work waits for it rather than wake another thread: the owner then needs
// no wake-up at completion either, which is most of what a request costs
// when many are in flight.
// While nothing is queued it first spins a little, as a polling submitter
// does (its own completion or the next work is most often microseconds
// away: the mirror's thread sends its clones, the other image's write
// ends), then sleeps here, first in line for the next work.
struct io_helper {
	std::atomic<int> seq{0};	// futex word: bumped under io_mu to wake it
	bool done = false;		// its bios have completed; guarded by io_mu
	bool called = false;		// handed work by a pick; guarded by io_mu
	bool listed = false;		// in io_helpers, asleep; guarded by io_mu
	bool spinning = false;		// in io_spinners; guarded by io_mu
	// When another thread last took work of its: that work is running, and
	// its completion is the next thing this helper waits for.  Written
	// under io_mu while the helper is present, read as it spins.
	std::atomic<int64_t> taken_ns{0};
};

// How long a helper spins before it sleeps, and how many spin at once: a
// hand-off to a spinning helper costs neither side a system call, but a
// spinning thread holds a CPU, so few spin and not for long.
constexpr auto kHelperSpin = std::chrono::microseconds(50);
constexpr size_t kMaxSpinners = 2;
// A spinning helper whose own work another thread is running goes on
// spinning for its completion up to this long after that work was taken,
// as a polled completion spins until its I/O ends: a 512 KiB image write
// takes 100 to 250 µs here, and a helper asleep at its end costs the
// request a wake-up.
constexpr auto kHelperSpinRunning = std::chrono::microseconds(500);

// A mutex that spins a little before it sleeps: io_mu is held for a few
// list operations at a time, by every thread that sends or runs I/O, and a
// sleep on it costs two context switches where the wait is most often
// shorter than one.
class adaptive_mutex {
public:
	void lock() { pthread_mutex_lock(&m_); }
	void unlock() { pthread_mutex_unlock(&m_); }

private:
	pthread_mutex_t m_ = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
};

// Lock order: io_mu is a leaf; no work runs under it, and nobody is woken
// under it (a thread woken under a lock only runs into it).
adaptive_mutex io_mu;
std::atomic<int> io_idle_seq{0};	// futex word of idle I/O threads: bumped to wake one
int io_idle;				// I/O threads asleep on it, guarded by io_mu
std::deque<io_work> io_q;		// guarded by io_mu
std::vector<io_helper *> io_helpers;	// helpers asleep, guarded by io_mu
std::vector<io_helper *> io_spinners;	// helpers spinning, guarded by io_mu
// Helpers that will look at the queue before they wait: from their submit
// until they sleep outside io_help_until_done, or leave it.
std::vector<io_helper *> io_present;	// guarded by io_mu
thread_local io_helper *tls_helper;	// this thread's while it is in io_present
std::vector<std::thread> io_threads;
bool io_stopping;

// Work queued from process context wakes nobody yet, as a bio waits in a
// plugged queue: the submitter gives the wake-ups when it unplugs a queue
// (what a driver does once it has sent a batch: the mirror's thread after
// each pass), when it sleeps (when it schedules, or waits for a mutex: a
// task's plug is flushed when it sleeps; might_sleep alone flushes nothing),
// or runs the work itself as a helper, and for a request's work when it
// goes on to another request's (the owner changes: the mirror's thread
// sending the clones of many writers in one pass lets each start as soon
// as its own are queued, rather than all at the pass's end).  So a writer
// waiting in user I/O is handed its clones together, and a large write's
// halves meet in the queue to be merged.
thread_local std::vector<io_work> tls_io_held;	// queued, wake-ups not yet given

// Takes @h off io_helpers or io_spinners; under io_mu.
void io_unlist(std::vector<io_helper *> &list, io_helper *h)
{
	list.erase(std::find(list.begin(), list.end(), h));
}

// Who to wake for new work, chosen under io_mu and woken after it.
struct io_wakeup {
	std::atomic<int> *helper = nullptr;
	bool thread = false;
};

bool io_listed(const std::vector<io_helper *> &list, io_helper *h)
{
	return std::find(list.begin(), list.end(), h) != list.end();
}

// Work's owner first, if it waits (its own work ends in its own thread: no
// wake-up at completion); nobody if the work is light and its owner is busy
// running work (it looks at the queue before it waits again); else a
// spinning helper, then a sleeping one, then an I/O thread.  @owner is
// looked for on the lists before it is touched: it may be gone.
io_wakeup io_pick_locked(io_helper *owner = nullptr, bool light = false)
{
	io_wakeup w;
	io_helper *h;
	if (owner && io_listed(io_spinners, owner)) {
		h = owner;
		io_unlist(io_spinners, h);
	} else if (owner && io_listed(io_helpers, owner)) {
		h = owner;
		io_unlist(io_helpers, h);
	} else if (owner && light && io_listed(io_present, owner)) {
		return w;
	} else if (!io_spinners.empty()) {
		h = io_spinners.back();
		io_spinners.pop_back();
	} else if (!io_helpers.empty()) {
		h = io_helpers.back();
		io_helpers.pop_back();
	} else {
		// An I/O thread that is not idle looks at the queue before it is.
		if (io_idle > 0) {
			io_idle_seq.fetch_add(1);
			w.thread = true;
		}
		return w;
	}
	h->called = true;
	if (h->spinning) {	// it sees its word change: no call
		h->spinning = false;
		h->seq.fetch_add(1, std::memory_order_release);
	} else {
		h->listed = false;
		h->seq.fetch_add(1);
		w.helper = &h->seq;
	}
	return w;
}

// Chooses whom to wake for the first @n works this thread holds, in the
// order they were queued, into @wakes.  Under io_mu.
void io_give_held_locked(size_t n, std::vector<io_wakeup> *wakes)
{
	for (size_t i = 0; i < n; i++)
		wakes->push_back(io_pick_locked(tls_io_held[i].owner, tls_io_held[i].light));
}

// Queues @w under io_mu, adding to @wakes whom to wake once it is dropped:
// in irq context @w's own wake-up; in process context those of the work
// it held for another owner, which is then a whole request, while @w's
// own is held (tls_io_held).
void io_queue_locked(const io_work &w, std::vector<io_wakeup> *wakes)
{
	if (__sim_in_irq()) {
		io_q.push_back(w);
		wakes->push_back(io_pick_locked(w.owner, w.light));
		return;
	}
	if (!tls_io_held.empty() && tls_io_held.back().owner != w.owner) {
		io_give_held_locked(tls_io_held.size(), wakes);
		tls_io_held.clear();
	}
	io_q.push_back(w);
	tls_io_held.push_back(w);
}

// After io_mu is dropped.  The helper may have seen its word change and
// left already: FUTEX_WAKE only looks the address up, it writes nothing,
// and a stray wake-up is one more look at a condition for whoever waits.
void io_wake(const io_wakeup &w)
{
	if (w.helper)
		syscall(SYS_futex, w.helper, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
	else if (w.thread)
		syscall(SYS_futex, &io_idle_seq, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

int64_t io_now_ns()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

// @w, owned by another thread, is taken to be run here: if its owner waits
// for it in user I/O, it may spin for its completion.  Under io_mu.
void io_note_taken_locked(const io_work &w)
{
	if (w.owner && w.owner != tls_helper && io_listed(io_present, w.owner))
		w.owner->taken_ns.store(io_now_ns(), std::memory_order_relaxed);
}

void io_run(const io_work &w)
{
	int was = simlinux::swap_irq_context(1);
	w.fn(w.a, w.b);
	simlinux::swap_irq_context(was);
}

void io_thread_main(int index)
{
	char name[16];
	snprintf(name, sizeof(name), "kblockd/%d", index);
	pthread_setname_np(pthread_self(), name);
	simlinux::task_of_this_thread();
	simlinux::swap_irq_context(1);
	std::unique_lock<adaptive_mutex> lk(io_mu);
	for (;;) {
		if (!io_q.empty()) {
			io_work w = io_q.front();
			io_q.pop_front();
			io_note_taken_locked(w);
			lk.unlock();
			w.fn(w.a, w.b);
			lk.lock();
			continue;
		}
		if (io_stopping)
			return;
		io_idle++;
		int seen = io_idle_seq.load();
		lk.unlock();
		while (io_idle_seq.load() == seen)
			syscall(SYS_futex, &io_idle_seq, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
		lk.lock();
		io_idle--;
	}
}

// @h will not look at the queue before it has slept, or at all: true if
// work waits for it, to be handed to somebody else.  Under io_mu.
bool io_absent_locked(io_helper *h)
{
	auto it = std::find(io_present.begin(), io_present.end(), h);
	if (it == io_present.end())
		return false;
	io_present.erase(it);
	if (tls_helper == h)
		tls_helper = nullptr;
	return std::any_of(io_q.begin(), io_q.end(), [h](const io_work &w) { return w.owner == h; });
}

// Queued work that no present helper will come back for.  Under io_mu.
bool io_unowned_locked()
{
	return std::any_of(io_q.begin(), io_q.end(), [](const io_work &w) {
		return !w.owner || !io_listed(io_present, w.owner);
	});
}

// Spins until @h's word moves from @seen or its time is up; true if it
// moved.  Its time is kHelperSpin, or longer while work of its is running
// on another thread.
bool io_spin(io_helper *h, int seen)
{
	constexpr int64_t spin = std::chrono::nanoseconds(kHelperSpin).count();
	constexpr int64_t running = std::chrono::nanoseconds(kHelperSpinRunning).count();
	int64_t until = io_now_ns() + spin;
	for (;;) {
		for (int i = 0; i < 32; i++) {
			if (h->seq.load(std::memory_order_acquire) != seen)
				return true;
			__builtin_ia32_pause();
		}
		int64_t now = io_now_ns();
		if (now >= until && now - h->taken_ns.load(std::memory_order_relaxed) >= running)
			return false;
		// A thread it woke (the mirror's) may wait on this CPU: let it on.
		sched_yield();
	}
}

// Runs queued work until @h's bios are done.
void io_help_until_done(io_helper *h)
{
	std::unique_lock<adaptive_mutex> lk(io_mu);
	bool may_spin = true;	// not after a spin that nobody ended
	tls_io_held.clear();	// it runs everything queued before it sleeps
	if (!io_listed(io_present, h))	// it slept while it submitted
		io_present.push_back(h);
	tls_helper = h;
	while (!h->done) {
		if (!io_q.empty()) {
			auto it = std::find_if(io_q.begin(), io_q.end(),
					       [h](const io_work &w) { return w.owner == h; });
			if (it == io_q.end())
				it = io_q.begin();
			io_work w = *it;
			io_q.erase(it);
			io_note_taken_locked(w);
			lk.unlock();
			io_run(w);
			lk.lock();
			continue;
		}
		h->called = false;
		if (may_spin && io_spinners.size() < kMaxSpinners) {
			h->spinning = true;
			io_spinners.push_back(h);
			int seen = h->seq.load();
			lk.unlock();
			may_spin = io_spin(h, seen);
			lk.lock();
			if (h->spinning) {	// nobody came: it sleeps next
				io_unlist(io_spinners, h);
				h->spinning = false;
			}
			continue;
		}
		may_spin = true;
		h->listed = true;
		io_helpers.push_back(h);
		int seen = h->seq.load();
		lk.unlock();
		while (h->seq.load() == seen)
			syscall(SYS_futex, &h->seq, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
		lk.lock();
		if (h->listed) {	// woken by its own completion
			io_unlist(io_helpers, h);
			h->listed = false;
		}
	}
	// Handed work as its own request ended, or left light work that waited
	// for it (a bio it does not wait for): somebody else takes it.  Work
	// whose owner is still here is left to its owner.
	io_wakeup pass;
	if (io_absent_locked(h) || (h->called && io_unowned_locked()))
		pass = io_pick_locked();
	lk.unlock();
	io_wake(pass);
}

// The last bio of @h's request has completed (any thread, irq context).
// A helper that is not asleep sees done at its next look: most often it ran
// that bio itself, and no wake-up is spent.
void io_helper_done(io_helper *h)
{
	if (h == tls_helper) {	// it ran its own last bio: it reads done next
		h->done = true;
		return;
	}
	io_wakeup w;
	{
		std::lock_guard<adaptive_mutex> lk(io_mu);
		h->done = true;
		if (h->spinning) {
			io_unlist(io_spinners, h);
			h->spinning = false;
			h->seq.fetch_add(1, std::memory_order_release);
			return;
		}
		if (!h->listed)
			return;
		h->seq.fetch_add(1);
		w.helper = &h->seq;
	}
	io_wake(w);
}

// A driver's thread (a process, not waiting in user I/O) unplugging while
// one request is in flight: nobody else's work waits behind it.  It then
// runs the last request of its batch itself if that is light, as a request
// function does a short transfer in the unplugging context, beside the
// first, which goes to the writer: it is awake already, and the writer
// would run it only after its own.  Longer work still goes to another
// thread: a driver's thread busy for a 512 KiB write holds up its next
// pass, and at depth 16 a writer between its reads from the socket is
// often the only one waiting.  With more requests in flight it hands
// everything out.  Never inside a submit call or under a spinlock: a
// make_request function does not see a bio end before it returns, and a
// completion may take the lock.  Under io_mu.
bool io_alone_locked()
{
	return !tls_helper && !__sim_in_irq() && __sim_atomic_depth() == 0 &&
	       !current->bio_list && io_present.size() == 1;
}

// Takes queued work @b (a request's bio) to run here; none if it has been
// taken already.  Under io_mu.
io_work io_take_locked(void *b)
{
	auto it = std::find_if(io_q.begin(), io_q.end(), [b](const io_work &w) { return w.b == b; });
	if (it == io_q.end())
		return {};
	io_work w = *it;
	io_q.erase(it);
	io_note_taken_locked(w);
	return w;
}

/* the disk table */

std::mutex table_mu;
std::vector<sim_disk *> table;		// disks that exist (not removed)
std::vector<sim_disk *> fs_devices;	// host file systems, never removed
std::mutex cb_mu;
std::function<void()> changed_cb;

void disk_get(sim_disk *d)
{
	d->refs.fetch_add(1);
}

void disk_put(sim_disk *d)
{
	if (d->refs.fetch_sub(1) == 1) {
		if (d->fd >= 0)
			close(d->fd);
		blk_cleanup_queue(d->queue);
		delete d;
	}
}

sim_disk *disk_of(struct block_device *bdev)
{
	return bdev->bd_disk->sim;
}

std::string part_name(const std::string &disk, int n)
{
	if (!disk.empty() && isdigit((unsigned char)disk.back()))
		return disk + "p" + std::to_string(n);
	return disk + std::to_string(n);
}

void init_node(sim_disk *d, sim_node *n, int partno, sector_t start, sector_t nr)
{
	struct block_device *b = &n->bdev;
	memset(b, 0, sizeof(*b));
	b->bd_dev = MKDEV(d->major, d->minor + partno);
	b->bd_disk = &d->gd;
	b->bd_block_size = 512;
	mutex_init(&b->bd_mutex);
	INIT_LIST_HEAD(&b->bd_list);
	if (partno == 0) {
		b->bd_part = &d->gd.part0;
		b->bd_contains = b;
	} else {
		n->part.start_sect = start;
		n->part.nr_sects = nr;
		n->part.partno = partno;
		n->part.__disk = &d->gd;
		b->bd_part = &n->part;
		b->bd_contains = &d->nodes[0]->bdev;
	}
	struct inode *bi = &n->bd_inode;
	memset(bi, 0, sizeof(*bi));
	atomic_set(&bi->i_count, 1);
	bi->i_mode = S_IFBLK | 0600;
	bi->i_rdev = b->bd_dev;
	bi->i_size = (loff_t)(partno ? nr : d->size >> 9) << 9;
	bi->i_blkbits = 9;
	bi->i_bdev = b;
	bi->i_data.host = bi;
	bi->i_mapping = &bi->i_data;
	b->bd_inode = bi;

	struct inode *ni = &n->node_inode;
	memset(ni, 0, sizeof(*ni));
	atomic_set(&ni->i_count, 1);
	ni->i_mode = S_IFBLK | 0660;
	ni->i_rdev = b->bd_dev;
	ni->i_blkbits = 12;
	ni->i_bdev = b;
	ni->i_data.host = ni;
	ni->i_mapping = &ni->i_data;
}

void name_nodes(sim_disk *d)
{
	d->nodes[0]->name = d->name;
	snprintf(d->gd.disk_name, sizeof(d->gd.disk_name), "%s", d->name.c_str());
	for (size_t i = 1; i < d->nodes.size(); i++)
		d->nodes[i]->name = part_name(d->name, d->nodes[i]->part.partno);
}

// Primary partitions from the MBR.  An extended partition shows as a
// 2-sector device, as the kernel shows it.
void read_partitions(sim_disk *d)
{
	uint8_t mbr[512];
	if (pread(d->fd, mbr, sizeof(mbr), 0) != (ssize_t)sizeof(mbr))
		return;
	if (mbr[510] != 0x55 || mbr[511] != 0xAA)
		return;
	sector_t disk_sects = d->size >> 9;
	for (int i = 0; i < 4; i++) {
		const uint8_t *e = mbr + 446 + 16 * i;
		uint8_t type = e[4];
		uint32_t start, nr;
		memcpy(&start, e + 8, 4);
		memcpy(&nr, e + 12, 4);
		if (type == 0 || nr == 0 || start >= disk_sects)
			continue;
		if (type == 0x05 || type == 0x0f || type == 0x85)
			nr = 2;
		if ((sector_t)start + nr > disk_sects)
			nr = (uint32_t)(disk_sects - start);
		auto n = std::make_unique<sim_node>();
		d->nodes.push_back(std::move(n));
		init_node(d, d->nodes.back().get(), i + 1, start, nr);
	}
}

int disk_make_request(struct request_queue *q, struct bio *bio);

sim_disk *disk_create(const std::string &name, dev_t dev, uint64_t size)
{
	sim_disk *d = new sim_disk();
	d->name = name;
	d->size = size;
	d->major = MAJOR(dev);
	d->minor = MINOR(dev);
	memset(&d->gd, 0, sizeof(d->gd));
	d->gd.major = d->major;
	d->gd.first_minor = d->minor;
	d->gd.minors = 16;
	d->gd.part0.nr_sects = size >> 9;
	d->gd.part0.__disk = &d->gd;
	d->gd.sim = d;
	d->queue = blk_alloc_queue(GFP_KERNEL);
	blk_queue_make_request(d->queue, disk_make_request);
	// A SCSI disk's limits: 512 KiB requests of up to 128 segments.
	blk_queue_max_sectors(d->queue, 1024);
	blk_queue_max_hw_sectors(d->queue, 1024);
	blk_queue_max_phys_segments(d->queue, 128);
	blk_queue_max_hw_segments(d->queue, 128);
	blk_queue_max_segment_size(d->queue, 1 << 20);
	d->queue->unplug_fn = generic_unplug_device;
	d->queue->__sim = d;
	d->gd.queue = d->queue;
	d->nodes.push_back(std::make_unique<sim_node>());
	init_node(d, d->nodes[0].get(), 0, 0, size >> 9);
	return d;
}

/* the driver */

bool disk_failing(sim_disk *d, bool write)
{
	if (d->dead.load() || d->offline.load())
		return true;
	int f = d->fail.load();
	return write ? (f & simk::kFailWrite) : (f & simk::kFailRead);
}

// Whole-bio I/O on the image: one preadv/pwritev of all segments.
int image_rw(int fd, struct bio *bio, bool write)
{
	struct iovec iov[BIO_MAX_PAGES];
	int n = 0;
	for (int i = bio->bi_idx; i < bio->bi_vcnt && n < BIO_MAX_PAGES; i++) {
		struct bio_vec *bv = &bio->bi_io_vec[i];
		iov[n].iov_base = (char *)page_address(bv->bv_page) + bv->bv_offset;
		iov[n].iov_len = bv->bv_len;
		n++;
	}
	off_t off = (off_t)bio->bi_sector << 9;
	size_t left = bio->bi_size;
	struct iovec *v = iov;
	while (left > 0 && n > 0) {
		ssize_t r = write ? pwritev(fd, v, n, off) : preadv(fd, v, n, off);
		if (r < 0) {
			if (errno == EINTR)
				continue;
			return -EIO;
		}
		if (r == 0) {
			if (write)
				return -EIO;
			// Past the end of a short image: zeros, as an unwritten disk reads.
			for (int i = 0; i < n; i++)
				memset(v[i].iov_base, 0, v[i].iov_len);
			break;
		}
		off += r;
		left -= (size_t)r;
		while (n > 0 && (size_t)r >= v->iov_len) {
			r -= (ssize_t)v->iov_len;
			v++;
			n--;
		}
		if (n > 0 && r > 0) {
			v->iov_base = (char *)v->iov_base + r;
			v->iov_len -= (size_t)r;
		}
	}
	return 0;
}

void disk_io_one(sim_disk *d, struct bio *bio)
{
	bool write = bio_data_dir(bio) == WRITE;
	int err = 0;

	if (disk_failing(d, write)) {
		err = -EIO;
	} else if (d->io) {
		d->io(d, bio);		// a host file system completes the bio itself
		disk_put(d);
		return;
	} else if ((bio->bi_sector << 9) + bio->bi_size > d->size) {
		err = -EIO;
	} else {
		if (bio->bi_size)
			err = image_rw(d->fd, bio, write);
		if (!err && write && bio_barrier(bio) && fdatasync(d->fd) != 0)
			err = -EIO;
	}
	simlinux::bio_complete(bio, err);
	disk_put(d);
}

// One request: a bio and those merged behind it, in order.
void disk_io_work(void *a, void *b)
{
	sim_disk *d = (sim_disk *)a;
	struct bio *bio = (struct bio *)b;
	while (bio) {
		struct bio *next = bio->bi_next;
		bio->bi_next = NULL;
		disk_io_one(d, bio);
		bio = next;
	}
}

bool disk_mergeable(sim_disk *d, struct bio *bio)
{
	return !d->io && bio_data_dir(bio) == WRITE && !bio_barrier(bio) && bio->bi_size;
}

// The elevator's back-merge, for writes: a write that continues the last
// one queued for its disk and not yet taken joins that request, as the two
// halves of a large write do.  One thread then writes them in order, where
// two would only take turns at the image's lock, each for a wake-up.
// Reads are left apart: they share the image and run side by side.
bool disk_back_merge_locked(sim_disk *d, struct bio *bio)
{
	for (auto it = io_q.rbegin(); it != io_q.rend(); ++it) {
		if (it->fn != disk_io_work || it->a != d)
			continue;
		struct bio *tail = (struct bio *)it->b;
		while (tail->bi_next)
			tail = tail->bi_next;
		if (!disk_mergeable(d, tail) || tail->bi_sector + bio_sectors(tail) != bio->bi_sector)
			return false;
		tail->bi_next = bio;
		return true;
	}
	return false;
}

int disk_make_request(struct request_queue *q, struct bio *bio)
{
	sim_disk *d = (sim_disk *)q->__sim;
	disk_get(d);
	thread_local std::vector<io_wakeup> wakes;
	{
		std::lock_guard<adaptive_mutex> lk(io_mu);
		if (disk_mergeable(d, bio) && disk_back_merge_locked(d, bio))
			return 0;
		io_queue_locked({disk_io_work, d, bio, (io_helper *)bio->__sim_owner,
				 bio->bi_size <= kLightBytes},
				&wakes);
	}
	for (const io_wakeup &w : wakes)
		io_wake(w);
	wakes.clear();
	return 0;
}

sim_disk *find_locked(const std::string &name, int *partno)
{
	for (sim_disk *d : table)
		for (auto &n : d->nodes)
			if (n->name == name) {
				if (partno)
					*partno = n->part.partno;
				return d;
			}
	return nullptr;
}

void notify_changed()
{
	std::function<void()> cb;
	{
		std::lock_guard<std::mutex> lk(cb_mu);
		cb = changed_cb;
	}
	if (cb)
		cb();
}

/* user I/O */

struct user_io_wait {
	atomic_t remaining;
	int error;
	io_helper helper;
};

void user_io_end(struct bio *bio, int err)
{
	struct user_io_wait *w = (struct user_io_wait *)bio->bi_private;
	if (err)
		w->error = err;
	bio_put(bio);
	if (atomic_dec_and_test(&w->remaining))
		io_helper_done(&w->helper);
}

}  // namespace

namespace simlinux {

void io_start(int nthreads)
{
	std::lock_guard<adaptive_mutex> lk(io_mu);
	if (!io_threads.empty())
		return;
	io_stopping = false;
	for (int i = 0; i < nthreads; i++)
		io_threads.emplace_back(io_thread_main, i);
}

void io_stop()
{
	{
		std::lock_guard<adaptive_mutex> lk(io_mu);
		io_stopping = true;
		io_idle_seq.fetch_add(1);
	}
	syscall(SYS_futex, &io_idle_seq, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
	for (auto &t : io_threads)
		t.join();
	io_threads.clear();
}

void io_unplug(bool by_driver)
{
	if (tls_io_held.empty())
		return;
	// Whom to wake, owners first queued first, under one hold of io_mu;
	// the wake-ups after it is dropped.
	thread_local std::vector<io_wakeup> wakes;
	io_work mine{};
	{
		std::lock_guard<adaptive_mutex> lk(io_mu);
		size_t n = tls_io_held.size();
		bool keep = by_driver && n > 1 && tls_io_held[n - 1].light && io_alone_locked();
		io_give_held_locked(n - (keep ? 1 : 0), &wakes);
		if (keep)
			mine = io_take_locked(tls_io_held[n - 1].b);
	}
	tls_io_held.clear();
	for (const io_wakeup &w : wakes)
		io_wake(w);
	wakes.clear();
	if (mine.fn)
		io_run(mine);
}

void io_before_sleep()
{
	// Absent first, so that its own held work goes to somebody else too.
	io_wakeup w;
	if (tls_helper) {
		std::lock_guard<adaptive_mutex> lk(io_mu);
		if (io_absent_locked(tls_helper))
			w = io_pick_locked();
	}
	io_unplug(false);
	io_wake(w);
}

void bio_complete(struct bio *bio, int error)
{
	bio->bi_sector += bio->bi_size >> 9;
	bio->bi_size = 0;
	bio_endio(bio, error);
}

struct block_device *bdev_lookup(const std::string &name)
{
	std::lock_guard<std::mutex> lk(table_mu);
	for (sim_disk *d : table)
		for (auto &n : d->nodes)
			if (n->name == name) {
				disk_get(d);
				return &n->bdev;
			}
	return nullptr;
}

struct block_device *bdev_by_dev(dev_t dev)
{
	std::lock_guard<std::mutex> lk(table_mu);
	for (auto *list : {&table, &fs_devices})
		for (sim_disk *d : *list)
			for (auto &n : d->nodes)
				if (n->bdev.bd_dev == dev) {
					disk_get(d);
					return &n->bdev;
				}
	return nullptr;
}

struct block_device *fs_device_create(const std::string &name, dev_t dev, disk_io_fn io)
{
	// Big enough that no block bmap gives lies past its end.
	sim_disk *d = disk_create(name, dev, (uint64_t)1 << 62);
	d->io = io;
	std::lock_guard<std::mutex> lk(table_mu);
	fs_devices.push_back(d);
	return &d->nodes[0]->bdev;
}

void disks_shutdown()
{
	std::vector<sim_disk *> gone;
	{
		std::lock_guard<std::mutex> lk(table_mu);
		gone.swap(table);
	}
	{
		std::lock_guard<std::mutex> lk(table_mu);
		gone.insert(gone.end(), fs_devices.begin(), fs_devices.end());
		fs_devices.clear();
	}
	for (sim_disk *d : gone) {
		d->dead.store(true);
		disk_put(d);
	}
}

void disks_changed()
{
	notify_changed();
}

int bdev_rw(struct block_device *bdev, bool write, uint64_t offset, void *buf, uint32_t len)
{
	if ((offset & 511) || (len & 511))
		return -EINVAL;
	if (len == 0)
		return 0;
	struct request_queue *q = bdev_get_queue(bdev);
	size_t npages = (len + PAGE_SIZE - 1) / PAGE_SIZE;
	// Pages that describe the caller's buffer: the data moves in place.
	std::unique_ptr<struct page[]> pages(new struct page[npages]());
	struct user_io_wait w;
	atomic_set(&w.remaining, 1);
	w.error = 0;
	might_sleep();
	{
		std::lock_guard<adaptive_mutex> lk(io_mu);
		io_present.push_back(&w.helper);
		tls_helper = &w.helper;
	}

	struct bio *bio = nullptr;
	uint64_t sector = offset >> 9;
	uint32_t done = 0;
	size_t pi = 0;
	while (done < len) {
		struct page *pg = &pages[pi++];
		uint32_t chunk = min_t(uint32_t, (uint32_t)PAGE_SIZE, len - done);
		pg->virtual_ = (char *)buf + done;
		pg->foreign = 1;
		init_page_count(pg);
		for (;;) {
			if (!bio) {
				int nvec = (int)min_t(size_t, npages - (pi - 1), (size_t)BIO_MAX_PAGES);
				nvec = min_t(int, nvec, (int)queue_max_phys_segments(q));
				bio = bio_alloc(GFP_NOIO, nvec);
				bio->bi_bdev = bdev;
				bio->bi_sector = sector;
				bio->bi_rw = write ? WRITE : READ;
				bio->bi_end_io = user_io_end;
				bio->bi_private = &w;
				bio->__sim_owner = &w.helper;
			}
			if (bio_add_page(bio, pg, chunk, 0) == (int)chunk)
				break;
			if (bio->bi_size == 0) {
				// Not even one page fits: the queue cannot take this I/O.
				bio_put(bio);
				bio = nullptr;
				w.error = -EIO;
				goto out;
			}
			sector += bio->bi_size >> 9;
			atomic_inc(&w.remaining);
			generic_make_request(bio);
			bio = nullptr;
		}
		done += chunk;
	}
	if (bio) {
		atomic_inc(&w.remaining);
		generic_make_request(bio);
	}
out:
	if (!atomic_dec_and_test(&w.remaining)) {
		io_help_until_done(&w.helper);
	} else {
		std::lock_guard<adaptive_mutex> lk(io_mu);
		io_absent_locked(&w.helper);	// none of its work is queued: all ended
	}
	return w.error ? -EIO : 0;
}

int bdev_rw_bytes(struct block_device *bdev, bool write, uint64_t offset, void *buf, uint32_t len)
{
	if (!((offset | len) & 511))
		return bdev_rw(bdev, write, offset, buf, len);
	uint64_t start = offset & ~511ULL;
	uint64_t end = (offset + len + 511) & ~511ULL;
	if (end - start > 0xFFFFFFFFULL)
		return -EINVAL;
	uint32_t blen = (uint32_t)(end - start);
	char *bounce = (char *)aligned_alloc(512, blen);
	if (!bounce)
		return -ENOMEM;
	// Two patches of one sector must not undo each other.
	static std::mutex rmw_mu;
	std::unique_lock<std::mutex> lk(rmw_mu, std::defer_lock);
	if (write)
		lk.lock();
	int err = bdev_rw(bdev, false, start, bounce, blen);
	if (!err) {
		if (write) {
			memcpy(bounce + (offset - start), buf, len);
			err = bdev_rw(bdev, true, start, bounce, blen);
		} else {
			memcpy(buf, bounce + (offset - start), len);
		}
	}
	free(bounce);
	return err;
}

}  // namespace simlinux

struct block_device *bdget(dev_t dev)
{
	return simlinux::bdev_by_dev(dev);
}

struct block_device *bdgrab(struct block_device *bdev)
{
	disk_get(disk_of(bdev));
	return bdev;
}

void bdput(struct block_device *bdev)
{
	disk_put(disk_of(bdev));
}

struct block_device *lookup_bdev(const char *path)
{
	std::string p = path ? path : "";
	if (p.rfind("/dev/", 0) == 0)
		p = p.substr(5);
	struct block_device *b = simlinux::bdev_lookup(p);
	return b ? b : (struct block_device *)ERR_PTR(-ENODEV);
}

/* what simkernel calls */

namespace simk {

int disk_add(const DiskSpec &spec)
{
	if (spec.name.empty() || spec.size == 0 || (spec.size & 511))
		return -EINVAL;
	{
		std::lock_guard<std::mutex> lk(table_mu);
		if (find_locked(spec.name, nullptr))
			return -EEXIST;
		for (sim_disk *d : table)
			if (d->major == spec.major && d->minor == spec.minor)
				return -EEXIST;
	}
	int fd = open(spec.image.c_str(), O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return -errno;
	sim_disk *d = disk_create(spec.name, MKDEV(spec.major, spec.minor), spec.size);
	d->image = spec.image;
	d->guid = spec.guid;
	d->fd = fd;
	read_partitions(d);
	name_nodes(d);
	{
		std::lock_guard<std::mutex> lk(table_mu);
		if (find_locked(spec.name, nullptr)) {
			disk_put(d);
			return -EEXIST;
		}
		table.push_back(d);
	}
	printk("<6>sd: [%s] %llu 512-byte logical blocks\n", d->name.c_str(),
	       (unsigned long long)(d->size >> 9));
	notify_changed();
	return 0;
}

int disk_remove(const std::string &name)
{
	sim_disk *d = nullptr;
	{
		std::lock_guard<std::mutex> lk(table_mu);
		for (size_t i = 0; i < table.size(); i++)
			if (table[i]->name == name) {
				d = table[i];
				table.erase(table.begin() + i);
				break;
			}
	}
	if (!d)
		return -ENXIO;
	d->dead.store(true);
	printk("<6>sd %s: removed\n", name.c_str());
	disk_put(d);
	notify_changed();
	return 0;
}

int disk_rename(const std::string &old_name, const std::string &new_name)
{
	if (new_name.empty())
		return -EINVAL;
	{
		std::lock_guard<std::mutex> lk(table_mu);
		sim_disk *d = nullptr;
		for (sim_disk *x : table)
			if (x->name == old_name)
				d = x;
		if (!d)
			return -ENXIO;
		if (old_name == new_name)
			return 0;
		std::string saved = d->name;
		d->name = new_name;
		name_nodes(d);
		for (sim_disk *x : table)
			for (auto &n : x->nodes)
				for (auto &m : d->nodes)
					if (x != d && n->name == m->name) {
						d->name = saved;
						name_nodes(d);
						return -EEXIST;
					}
	}
	notify_changed();
	return 0;
}

static int with_disk(const std::string &name, const std::function<void(sim_disk *)> &fn)
{
	std::lock_guard<std::mutex> lk(table_mu);
	for (sim_disk *d : table)
		if (d->name == name) {
			fn(d);
			return 0;
		}
	return -ENXIO;
}

int disk_fail(const std::string &name, FailMode mode)
{
	return with_disk(name, [mode](sim_disk *d) { d->fail.store(mode); });
}

int disk_heal(const std::string &name)
{
	return with_disk(name, [](sim_disk *d) {
		d->fail.store(kFailNone);
		d->offline.store(false);
	});
}

int disk_offline(const std::string &name)
{
	return with_disk(name, [](sim_disk *d) { d->offline.store(true); });
}

/* The holder that a mount of the host, or another exclusive opener, is. */
static char host_holder;

int disk_hold(const std::string &name, bool on)
{
	std::lock_guard<std::mutex> lk(table_mu);
	for (sim_disk *d : table)
		for (auto &n : d->nodes) {
			if (n->name != name)
				continue;
			struct block_device *b = &n->bdev;
			if (on)
				return bd_claim(b, &host_holder);
			if (b->bd_holder != &host_holder)
				return -EINVAL;
			bd_release(b);
			return 0;
		}
	return -ENXIO;
}

std::vector<DiskInfo> disks()
{
	std::vector<DiskInfo> out;
	std::lock_guard<std::mutex> lk(table_mu);
	for (sim_disk *d : table) {
		DiskInfo info;
		info.name = d->name;
		info.major = d->major;
		info.minor = d->minor;
		info.size = d->size;
		info.guid = d->guid;
		info.fail = d->fail.load();
		info.offline = d->offline.load();
		for (size_t i = 1; i < d->nodes.size(); i++) {
			auto &n = d->nodes[i];
			info.parts.push_back({n->name, d->minor + n->part.partno, n->part.start_sect,
					      n->part.nr_sects});
		}
		out.push_back(info);
	}
	return out;
}

int user_io(const std::string &name, bool write, uint64_t offset, void *buf, uint32_t len)
{
	struct block_device *bdev = simlinux::bdev_lookup(name);
	if (!bdev)
		return -ENXIO;
	int ret = simlinux::bdev_rw_bytes(bdev, write, offset, buf, len);
	bdput(bdev);
	return ret;
}

int user_flush(const std::string &name)
{
	struct block_device *bdev = simlinux::bdev_lookup(name);
	if (!bdev)
		return -ENXIO;
	int ret = blkdev_issue_flush(bdev, NULL);
	bdput(bdev);
	return ret == -EOPNOTSUPP ? 0 : ret;
}

void on_disks_changed(std::function<void()> cb)
{
	std::lock_guard<std::mutex> lk(cb_mu);
	changed_cb = std::move(cb);
}

}  // namespace simk

// The SCSI model needs the disk behind a name (scsi.cc).
namespace simlinux {

int with_scsi_disk(const std::string &name, const std::function<int(sim_disk *)> &fn)
{
	sim_disk *d = nullptr;
	{
		std::lock_guard<std::mutex> lk(table_mu);
		int partno = 0;
		d = find_locked(name, &partno);
		if (d)
			disk_get(d);
	}
	if (!d)
		return -ENXIO;
	int ret = fn(d);
	disk_put(d);
	return ret;
}

}  // namespace simlinux
