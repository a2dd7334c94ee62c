// The user-space host layer: the few system calls through which the system's
// programs reach block devices and the netlink-21 socket.
//
// On a real host every function is the plain system call. Inside a simulated
// host (a host whose kernel is simkernel) block devices that simkernel owns and
// netlink sockets of protocol 21 are served by simkernel instead; everything
// else still goes to the real system call. Callers use these exactly where they
// would use the system call of the same name, with the same arguments, results
// and errno.
#ifndef ZELMIR_HOST_HOST_H
#define ZELMIR_HOST_HOST_H

#include <poll.h>
#include <stdint.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

// Block devices (and any other file: those pass straight through).
int hl_open(const char* path, int flags, ...);
int hl_close(int fd);
ssize_t hl_read(int fd, void* buf, size_t count);
ssize_t hl_write(int fd, const void* buf, size_t count);
ssize_t hl_pread(int fd, void* buf, size_t count, off_t offset);
ssize_t hl_pwrite(int fd, const void* buf, size_t count, off_t offset);
off_t hl_lseek(int fd, off_t offset, int whence);
int hl_fsync(int fd);
// A simulated disk reports S_IFBLK with its device number in st_rdev.
int hl_fstat(int fd, struct stat* st);
int hl_stat(const char* path, struct stat* st);
// BLKGETSIZE64, BLKGETSIZE, BLKSSZGET and SG_IO on a simulated disk; any
// other request or descriptor passes through to ioctl(2).
int hl_ioctl(int fd, unsigned long request, void* arg);

// Sockets. socket(AF_NETLINK, SOCK_RAW, 21) inside a simulated host gives a
// descriptor carried to simkernel; every other socket is the real one.
int hl_socket(int domain, int type, int protocol);
int hl_bind(int fd, const struct sockaddr* addr, socklen_t len);
int hl_getsockname(int fd, struct sockaddr* addr, socklen_t* len);
int hl_setsockopt(int fd, int level, int name, const void* val, socklen_t len);
ssize_t hl_sendto(int fd, const void* buf, size_t len, int flags,
                  const struct sockaddr* to, socklen_t tolen);
ssize_t hl_recvfrom(int fd, void* buf, size_t len, int flags,
                    struct sockaddr* from, socklen_t* fromlen);
ssize_t hl_sendmsg(int fd, const struct msghdr* msg, int flags);
ssize_t hl_recvmsg(int fd, struct msghdr* msg, int flags);

// 1 when this process runs inside a simulated host.
int hl_simulated(void);

// Clocks and waits. Inside a simulated host the host's clocks run at this
// machine's pace from offsets that tests move (`simctl clock advance`,
// `simctl clock set-wall`), and a wait in progress sees a move at once; the
// rest of the time these are the plain calls.
//
// CLOCK_MONOTONIC or CLOCK_REALTIME (and their COARSE, RAW and BOOTTIME
// kin), host offsets added; other clocks as the system gives them.
int hl_clock_gettime(clockid_t clk, struct timespec* ts);
// Wall clock seconds, like time(2).
time_t hl_time(time_t* t);
// The monotonic clock in milliseconds, the unit of the daemons' deadlines.
int64_t hl_monotonic_ms(void);
// Like sleep(3): the seconds left when a signal ends it early, else 0.
unsigned int hl_sleep(unsigned int seconds);
// Like usleep(3): 0, or -1 with errno EINTR when a signal ends it early.
int hl_usleep(useconds_t usec);
// pthread_cond_timedwait whose absolute time is on host clock `clk`
// (CLOCK_MONOTONIC or CLOCK_REALTIME), whatever clock the condition was made
// with. Returns 0 when signalled (or spuriously, as when the host's clock
// moved but not past abstime), ETIMEDOUT once the host clock passes abstime,
// EINVAL for a bad clock or time. The mutex is held on return.
int hl_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clk,
                      const struct timespec* abstime);
// poll(2) whose timeout (ms, -1 = forever) runs on the host's monotonic clock.
int hl_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_HOST_HOST_H
