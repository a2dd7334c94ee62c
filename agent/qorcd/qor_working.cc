// The working process of qorcd: start-up in its fixed order, then the loop
// that accepts connections on the two listeners.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <new>

#include "host/host.h"
#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_daemon.h"
#include "qor_dispatch.h"
#include "qor_heartbeat.h"
#include "qor_inventory.h"
#include "qor_jobs.h"
#include "qor_local.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_scan.h"
#include "qor_slots.h"
#include "qor_udev.h"

namespace {

constexpr int kBacklog = 512;

// What the working process has set up, and its orderly end.
struct WorkingProcess {
  int tcp = -1;
  int unix_sock = -1;
  bool threads_started = false;

  int end() {
    if (tcp >= 0) close(tcp);
    if (unix_sock >= 0) close(unix_sock);
    // Once the service threads run they use the jobs and the configuration
    // until the process is gone; only a start that never got that far frees
    // them.
    if (!threads_started) {
      jobs_free_all();
      qor_cleanup();
    }
    return -1;
  }
};

int start_services(WorkingProcess* wp) {
  pthread_t tid;
  void* (*const threads[])(void*) = {_scan_client_thread, _timeout_thread, _udev_monitor_thread};
  for (auto fn : threads) {
    if (start_thread(&tid, fn, nullptr) != 0) return -1;
    wp->threads_started = true;
  }
  return 0;
}

// fd bound to addr and listening, or -1 with fd closed.
int bind_and_listen(int fd, const sockaddr* addr, socklen_t len) {
  if (bind(fd, addr, len) != 0) {
    HM_LOG(LOG_ERR, "Failed to bind (%s)", strerror(errno));
  } else if (listen(fd, kBacklog) != 0) {
    HM_LOG(LOG_ERR, "Failed to listen (%s)", strerror(errno));
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

int listen_tcp(uint16_t port) {
  int fd = reused_sock();
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to socket()");
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  return bind_and_listen(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
}

int listen_unix(const char* path) {
  unlink(path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to socket()");
    return -1;
  }
  sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
  return bind_and_listen(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
}

// The heartbeat and every stored CDP schedule, as the file gave them.
int register_jobs() {
  if (qor_managed() && _register_for_heartbeat() < 0) {
    HM_LOG(LOG_ERR, "Failed to create heartbeat");
    return -1;
  }
  // A heartbeat may already be withdrawing the host and emptying these
  // lists.
  MutexLock l(&g_qor->mutex);
  list_head* pos;
  list_for_each(pos, &g_qor->cdpschs) {
    if (_register_for_cdpsch(list_entry(pos, cdpsch, list)) < 0) return -1;
  }
  list_for_each(pos, &g_qor->groups) {
    const backup_group* grp = list_entry(pos, backup_group, list);
    if (grp->start_time == 0 || grp->interval == 0) continue;
    if (_register_for_grpsch(grp) < 0) return -1;
  }
  return 0;
}

// The listener of a pass: the TCP one first, each only while its pool of
// connections has room.  -1 when neither has a connection to take.
int ready_listener(const WorkingProcess* wp) {
  const int wake = qor_slot_wake_fd();
  pollfd fds[3] = {{qor_slot_free(0) ? wp->tcp : -1, POLLIN, 0},
                   {qor_slot_free(1) ? wp->unix_sock : -1, POLLIN, 0},
                   {wake, POLLIN, 0}};
  // Without a wake descriptor a full pool is looked at again every second.
  if (poll(fds, 3, wake >= 0 ? -1 : 1000) <= 0) return -1;
  if (fds[2].revents & POLLIN) qor_slot_wake_drain();
  if (fds[0].revents & POLLIN) return 0;
  if (fds[1].revents & POLLIN) return 1;
  return -1;
}

// One connection per pass.
int accept_loop(WorkingProcess* wp) {
  for (;;) {
    const int local = ready_listener(wp);
    if (local < 0) continue;
    auto* conn = new (std::nothrow) qor_conn{-1, local, 0};
    if (conn == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      return -1;
    }
    conn->fd = accept4(local ? wp->unix_sock : wp->tcp, nullptr, nullptr, SOCK_CLOEXEC);
    conn->accepted_ms = hl_monotonic_ms();
    if (conn->fd < 0) {
      if (errno == EINTR)
        HM_LOG(LOG_DEBUG, "Accept is interrupted");
      else
        HM_LOG(LOG_ERR, "Failed to accept socket (%s)", strerror(errno));
    } else if (!local && qor_local_addr_filtered(conn->fd, &g_qor->ip_filter)) {
      // The server may not reach the host on this address: nothing is read
      // or written.  The filter never changes while the process runs.
      close(conn->fd);
    } else {
      qor_slot_take(local);
      pthread_t tid;
      if (start_thread(&tid, process_cmd, conn) == 0) continue;
      qor_slot_release(local);
      close(conn->fd);
    }
    delete conn;
  }
}

}  // namespace

int _main(void) {
  WorkingProcess wp;
  signal(SIGPIPE, SIG_IGN);
  g_qor = qor_load_config();
  if (g_qor == nullptr) return wp.end();
  if (qor_managed_locked()) heartbeat_set_running(1);

  g_client_init();
  service_signals_init();
  if (start_services(&wp) != 0) return wp.end();
  for (;;) {
    qor_clock()->sleep(1);
    HM_LOG(LOG_DEBUG, "Waiting timeout_thread for 1 second");
    int running = timer_is_running();
    HM_LOG(LOG_DEBUG, "g_timeout_thread_running = %d", running);
    if (running) break;
  }

  wp.tcp = listen_tcp(static_cast<uint16_t>(g_qor->client_port & 0xffff));
  if (wp.tcp < 0) return wp.end();
  wp.unix_sock = listen_unix(QORCD_SOCK_PATH);
  if (wp.unix_sock < 0) return wp.end();
  if (register_jobs() != 0) return wp.end();
  accept_loop(&wp);
  return wp.end();
}
