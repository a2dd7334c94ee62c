// Kernel netlink over unix datagram sockets, and socket buffers.  The
// kernel's end of protocol 21 is bound at <rundir>/nl/0, a user socket
// with port id P at <rundir>/nl/P.  A receiver thread takes each datagram
// and runs the input function on a worker thread in a process context of
// its own, so requests from several senders run at the same time, as they
// do in the kernel (where input runs in each sender's own send call).
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <deque>
#include <thread>

#include "internal.h"

#include <linux/netlink.h>
#include <linux/skbuff.h>
#include <linux/slab.h>
#include <net/sock.h>

struct net init_net;

struct sim_nlsock {
	int fd = -1;
	int stop_fd = -1;		// eventfd that ends the receiver
	std::string dir;		// <rundir>/nl
	void (*input)(struct sk_buff *skb) = nullptr;
	std::thread receiver;
	std::mutex mu;			// guards everything below
	std::condition_variable cv;
	std::deque<struct sk_buff *> pending;
	int idle = 0;			// workers waiting for a request
	int live = 0;			// workers that exist
	int busy = 0;			// workers in the input function
	bool stopping = false;
	bool orphaned = false;		// released from inside an input call: the last worker frees it
	struct socket socket;
};

namespace {

constexpr size_t kMaxDatagram = 65536;
constexpr int kMaxWorkers = 64;
// Requests waiting for a worker beyond this are dropped, as a full socket
// buffer drops them: a flood cannot grow memory without bound.
constexpr size_t kMaxPending = 4096;

std::mutex nl_mu;
std::atomic<unsigned long> senders_dropped;
std::atomic<unsigned long> inputs_done;
struct sock *kernel_sock;		// the one kernel socket of protocol 21
thread_local struct sock *tls_worker_of;

std::string port_path(const std::string &dir, uint32_t pid)
{
	return dir + "/" + std::to_string(pid);
}

// The port id of a sender bound at <dir>/P; 0 for anything else.
uint32_t sender_port(const struct sockaddr_un &from, socklen_t len, const std::string &dir)
{
	if (len <= offsetof(struct sockaddr_un, sun_path) || from.sun_path[0] == '\0')
		return 0;
	size_t plen = strnlen(from.sun_path, len - offsetof(struct sockaddr_un, sun_path));
	std::string path(from.sun_path, plen);
	if (path.size() <= dir.size() + 1 || path.compare(0, dir.size(), dir) != 0 ||
	    path[dir.size()] != '/')
		return 0;
	std::string digits = path.substr(dir.size() + 1);
	if (digits.empty() || digits.size() > 10 || (digits[0] == '0'))
		return 0;
	uint64_t v = 0;
	for (char c : digits) {
		if (c < '0' || c > '9')
			return 0;
		v = v * 10 + (uint64_t)(c - '0');
	}
	return v > 0xFFFFFFFFULL ? 0 : (uint32_t)v;
}

void worker_main(struct sock *sk)
{
	sim_nlsock *ns = sk->sim;
	pthread_setname_np(pthread_self(), "netlink");
	tls_worker_of = sk;
	simlinux::task_of_this_thread();
	std::unique_lock<std::mutex> lk(ns->mu);
	for (;;) {
		ns->idle++;
		ns->cv.wait(lk, [ns] { return ns->stopping || !ns->pending.empty(); });
		ns->idle--;
		if (ns->pending.empty())
			break;
		struct sk_buff *skb = ns->pending.front();
		ns->pending.pop_front();
		ns->busy++;
		lk.unlock();
		ns->input(skb);
		simlinux::io_unplug();	// I/O the handler sent and did not wait for
		inputs_done++;
		kfree_skb(skb);
		flush_signals(current);
		lk.lock();
		ns->busy--;
		ns->cv.notify_all();
	}
	ns->live--;
	ns->cv.notify_all();
	bool free_it = ns->orphaned && ns->live == 0;
	lk.unlock();
	if (free_it) {
		delete ns;
		delete sk;
	}
}

void dispatch(struct sock *sk, struct sk_buff *skb)
{
	sim_nlsock *ns = sk->sim;
	std::lock_guard<std::mutex> lk(ns->mu);
	if (ns->pending.size() >= kMaxPending) {
		kfree_skb(skb);
		return;
	}
	ns->pending.push_back(skb);
	if (ns->idle == 0 && ns->live < kMaxWorkers) {
		ns->live++;
		std::thread(worker_main, sk).detach();
	}
	ns->cv.notify_one();
}

void receiver_main(struct sock *sk)
{
	sim_nlsock *ns = sk->sim;
	pthread_setname_np(pthread_self(), "netlink-rx");
	std::vector<unsigned char> buf(kMaxDatagram);
	struct pollfd pfd[2] = {{ns->fd, POLLIN, 0}, {ns->stop_fd, POLLIN, 0}};
	for (;;) {
		if (poll(pfd, 2, -1) < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		if (pfd[1].revents)
			break;
		if (!(pfd[0].revents & POLLIN))
			continue;
		struct sockaddr_un from;
		socklen_t flen = sizeof(from);
		memset(&from, 0, sizeof(from));
		ssize_t n = recvfrom(ns->fd, buf.data(), buf.size(), MSG_DONTWAIT,
				     (struct sockaddr *)&from, &flen);
		if (n < 0)
			continue;
		uint32_t port = sender_port(from, flen, ns->dir);
		if (port == 0) {
			senders_dropped++;
			continue;	// not a netlink port: nobody to answer
		}
		struct sk_buff *skb = alloc_skb((unsigned)n, GFP_ATOMIC);
		if (!skb)
			continue;
		memcpy(skb_put(skb, (unsigned)n), buf.data(), (size_t)n);
		NETLINK_CB(skb).pid = port;
		NETLINK_CB(skb).dst_group = 0;
		skb->sk = sk;
		dispatch(sk, skb);
	}
}

}  // namespace

/* socket buffers */

struct sk_buff *alloc_skb(unsigned int size, gfp_t priority)
{
	struct sk_buff *skb = (struct sk_buff *)kzalloc(sizeof(*skb), priority);
	if (!skb)
		return NULL;
	size = (size + 15) & ~15U;
	skb->head = (unsigned char *)kmalloc(size ? size : 16, priority);
	if (!skb->head) {
		kfree(skb);
		return NULL;
	}
	skb->data = skb->tail = skb->head;
	skb->end = skb->head + size;
	skb->truesize = size + sizeof(*skb);
	atomic_set(&skb->users, 1);
	return skb;
}

void kfree_skb(struct sk_buff *skb)
{
	if (!skb)
		return;
	if (atomic_read(&skb->users) != 1 && !atomic_dec_and_test(&skb->users))
		return;
	kfree(skb->head);
	kfree(skb);
}

void consume_skb(struct sk_buff *skb)
{
	kfree_skb(skb);
}

struct sk_buff *skb_clone(struct sk_buff *skb, gfp_t priority)
{
	struct sk_buff *n = alloc_skb((unsigned)(skb->end - skb->head), priority);
	if (!n)
		return NULL;
	memcpy(n->head, skb->head, skb->end - skb->head);
	n->data = n->head + (skb->data - skb->head);
	n->tail = n->head + (skb->tail - skb->head);
	n->len = skb->len;
	memcpy(n->cb, skb->cb, sizeof(n->cb));
	n->sk = skb->sk;
	return n;
}

unsigned char *skb_put(struct sk_buff *skb, unsigned int len)
{
	unsigned char *tmp = skb->tail;
	if (unlikely(skb->tail + len > skb->end)) {
		printk("<0>skb_over_panic: len:%u put:%u\n", skb->len, len);
		BUG();
	}
	skb->tail += len;
	skb->len += len;
	return tmp;
}

unsigned char *skb_push(struct sk_buff *skb, unsigned int len)
{
	if (unlikely(skb->data - len < skb->head)) {
		printk("<0>skb_under_panic: len:%u push:%u\n", skb->len, len);
		BUG();
	}
	skb->data -= len;
	skb->len += len;
	return skb->data;
}

unsigned char *skb_pull(struct sk_buff *skb, unsigned int len)
{
	if (len > skb->len)
		return NULL;
	skb->len -= len;
	return skb->data += len;
}

void skb_trim(struct sk_buff *skb, unsigned int len)
{
	if (skb->len > len) {
		skb->len = len;
		skb->tail = skb->data + len;
	}
}

/* kernel netlink */

struct sock *netlink_kernel_create(struct net *net, int unit, unsigned int groups,
				   void (*input)(struct sk_buff *skb), struct mutex *cb_mutex,
				   struct module *module)
{
	(void)net;
	(void)groups;
	(void)cb_mutex;
	(void)module;
	if (unit < 0 || unit >= MAX_LINKS || !input)
		return NULL;
	std::lock_guard<std::mutex> lk(nl_mu);
	if (kernel_sock || simlinux::rundir().empty())
		return NULL;

	struct sock *sk = new sock();
	memset(sk, 0, sizeof(*sk));
	sk->sk_family = AF_UNIX;
	sk->sk_protocol = unit;
	sim_nlsock *ns = new sim_nlsock();
	sk->sim = ns;
	ns->socket.sk = sk;
	sk->sk_socket = &ns->socket;
	ns->input = input;
	ns->dir = simlinux::rundir() + "/nl";

	std::string path = port_path(ns->dir, 0);
	struct sockaddr_un addr;
	memset(&addr, 0, sizeof(addr));
	addr.sun_family = AF_UNIX;
	if (path.size() >= sizeof(addr.sun_path))
		goto fail;
	memcpy(addr.sun_path, path.c_str(), path.size() + 1);
	ns->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (ns->fd < 0)
		goto fail;
	unlink(path.c_str());
	if (bind(ns->fd, (struct sockaddr *)&addr, sizeof(addr)) != 0)
		goto fail;
	{
		int sz = 4 << 20;
		setsockopt(ns->fd, SOL_SOCKET, SO_RCVBUF, &sz, sizeof(sz));
	}
	ns->stop_fd = eventfd(0, EFD_CLOEXEC);
	if (ns->stop_fd < 0)
		goto fail;
	ns->receiver = std::thread(receiver_main, sk);
	kernel_sock = sk;
	return sk;

fail:
	printk("<3>netlink_kernel_create: cannot bind %s: %d\n", path.c_str(), -errno);
	if (ns->fd >= 0)
		close(ns->fd);
	if (ns->stop_fd >= 0)
		close(ns->stop_fd);
	delete ns;
	delete sk;
	return NULL;
}

void netlink_kernel_release(struct sock *sk)
{
	if (!sk)
		return;
	sim_nlsock *ns = sk->sim;
	{
		std::lock_guard<std::mutex> lk(nl_mu);
		if (kernel_sock == sk)
			kernel_sock = NULL;
	}
	uint64_t one = 1;
	ssize_t w = write(ns->stop_fd, &one, sizeof(one));
	(void)w;
	ns->receiver.join();
	unlink(port_path(ns->dir, 0).c_str());

	// Requests still running finish first (not the caller's own, when the
	// socket is released from inside an input call).
	bool self = tls_worker_of == sk;
	{
		std::unique_lock<std::mutex> lk(ns->mu);
		ns->stopping = true;
		for (struct sk_buff *skb : ns->pending)
			kfree_skb(skb);
		ns->pending.clear();
		ns->cv.notify_all();
		ns->cv.wait(lk, [ns, self] { return ns->live == (self ? 1 : 0) && ns->busy == (self ? 1 : 0); });
	}
	close(ns->fd);
	close(ns->stop_fd);
	if (self) {
		// The caller's worker still uses ns: it is freed when that worker ends.
		std::lock_guard<std::mutex> lk(ns->mu);
		ns->orphaned = true;
		return;
	}
	delete ns;
	delete sk;
}

void sock_release(struct socket *sock)
{
	if (sock)
		netlink_kernel_release(sock->sk);
}

int netlink_unicast(struct sock *ssk, struct sk_buff *skb, __u32 pid, int nonblock)
{
	(void)nonblock;
	int ret;
	if (!ssk || !ssk->sim || pid == 0) {
		kfree_skb(skb);
		return -ECONNREFUSED;
	}
	std::string path = port_path(ssk->sim->dir, pid);
	struct sockaddr_un addr;
	memset(&addr, 0, sizeof(addr));
	addr.sun_family = AF_UNIX;
	memcpy(addr.sun_path, path.c_str(), path.size() + 1);
	// Never block on a reader that does not read: a full receiver drops it.
	ssize_t n = sendto(ssk->sim->fd, skb->data, skb->len, MSG_DONTWAIT | MSG_NOSIGNAL,
			   (struct sockaddr *)&addr, sizeof(addr));
	if (n >= 0)
		ret = (int)n;
	else if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTSOCK)
		ret = -ECONNREFUSED;
	else
		ret = -errno;
	kfree_skb(skb);
	return ret;
}

int netlink_broadcast(struct sock *ssk, struct sk_buff *skb, __u32 pid, __u32 group, gfp_t allocation)
{
	(void)ssk;
	(void)pid;
	(void)group;
	(void)allocation;
	kfree_skb(skb);
	return -ESRCH;
}

namespace simlinux {

unsigned long netlink_senders_dropped()
{
	return senders_dropped.load();
}

unsigned long netlink_inputs_done()
{
	return inputs_done.load();
}

void netlink_shutdown()
{
	struct sock *sk;
	{
		std::lock_guard<std::mutex> lk(nl_mu);
		sk = kernel_sock;
	}
	if (sk)
		netlink_kernel_release(sk);
}

}  // namespace simlinux
