// The kernel log: printk keeps every line with its "<n>" level prefix (the
// default level 4 when the text has none), in memory for simk::dmesg, and
// appends the lines above debug level to <rundir>/kmsg so they can be read
// from outside, as the console shows them: debug lines can come once per
// request, and a write to the file for each would take the log's lock
// across a system call on the I/O path.
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>

#include "internal.h"

namespace {

constexpr size_t kLogMax = 4 << 20;	// bytes kept in memory, oldest lines dropped first

std::mutex log_mu;
std::string log_buf;			// complete lines
std::string partial;			// a line not yet ended by a newline
int kmsg_fd = -1;

bool has_level(const char *p)
{
	return p[0] == '<' && p[1] >= '0' && p[1] <= '7' && p[2] == '>';
}

void keep_line(const std::string &line)
{
	log_buf += line;
	if (log_buf.size() > kLogMax) {
		// Drop the oldest quarter at once, so a busy log does not move
		// megabytes for every line.
		size_t cut = log_buf.find('\n', log_buf.size() - kLogMax * 3 / 4);
		log_buf.erase(0, cut == std::string::npos ? log_buf.size() : cut + 1);
	}
	if (kmsg_fd >= 0 && line.compare(0, 3, KERN_DEBUG) != 0) {
		ssize_t n = write(kmsg_fd, line.data(), line.size());
		(void)n;
	}
}

}  // namespace

namespace simlinux {

void printk_open_file(const std::string &path)
{
	std::lock_guard<std::mutex> lk(log_mu);
	if (kmsg_fd >= 0)
		close(kmsg_fd);
	kmsg_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

std::string kernel_log()
{
	std::lock_guard<std::mutex> lk(log_mu);
	return log_buf + partial;
}

}  // namespace simlinux

int vprintk(const char *fmt, va_list args)
{
	char small[1024];
	va_list copy;
	va_copy(copy, args);
	int n = vsnprintf(small, sizeof(small), fmt, copy);
	va_end(copy);
	std::string text;
	if (n < 0)
		return n;
	if ((size_t)n < sizeof(small)) {
		text.assign(small, n);
	} else {
		text.resize(n + 1);
		vsnprintf(&text[0], n + 1, fmt, args);
		text.resize(n);
	}

	std::lock_guard<std::mutex> lk(log_mu);
	const char *p = text.c_str();
	char level[4] = "<4>";
	if (has_level(p)) {
		memcpy(level, p, 3);
		p += 3;
	}
	while (*p) {
		if (partial.empty())
			partial = level;
		const char *nl = strchr(p, '\n');
		if (!nl) {
			partial += p;
			break;
		}
		partial.append(p, nl + 1 - p);
		keep_line(partial);
		partial.clear();
		p = nl + 1;
	}
	return n;
}

int printk(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = vprintk(fmt, ap);
	va_end(ap);
	return n;
}

void dump_stack(void)
{
	void *frames[32];
	int n = backtrace(frames, 32);
	backtrace_symbols_fd(frames, n, 2);
}

void panic(const char *fmt, ...)
{
	char buf[512];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	printk("<0>Kernel panic - not syncing: %s\n", buf);
	fprintf(stderr, "Kernel panic - not syncing: %s\n", buf);
	abort();
}

void __sim_bug(const char *file, int line, const char *func)
{
	printk("<0>kernel BUG at %s:%d! (%s)\n", file, line, func);
	fprintf(stderr, "kernel BUG at %s:%d! (%s)\n", file, line, func);
	dump_stack();
	abort();
}

void __sim_warn(const char *file, int line, const char *func)
{
	printk("<4>WARNING: at %s:%d %s()\n", file, line, func);
}
