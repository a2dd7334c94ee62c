// The command table and the exchange of one connection.
#include "qor_dispatch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "host/host.h"
#include "mirapi/log.h"
#include "qor_handlers.h"
#include "qor_heartbeat.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_slots.h"

namespace {

constexpr qor_listener kAny = QOR_ANY_LISTENER;

constexpr uint32_t kAddClient = 2;
constexpr uint32_t kDelClient = 3;

// The highest code the table can hold; everything above is no command.
constexpr uint32_t kLastCode = 30011;

pthread_mutex_t heartbeat_running_lock = PTHREAD_MUTEX_INITIALIZER;
int g_heartbeat_running = 0;  // under heartbeat_running_lock

}  // namespace

void heartbeat_set_running(int on) {
  MutexLock l(&heartbeat_running_lock);
  g_heartbeat_running = on;
}

int heartbeat_running(void) {
  MutexLock l(&heartbeat_running_lock);
  return g_heartbeat_running;
}

// The rows in ascending code order.
constexpr qor_command qor_commands[] = {
    {1, "SCAN_CLIENT", scan_client, kAny},
    {2, "ADD_CLIENT", add_client, kAny},
    {3, "DEL_CLIENT", del_client, kAny},
    {4, "ADD_BACKUP", add_backup, kAny},
    {5, "ESTABLISH_CHANNELS", establish_channels, kAny},
    {6, "GET_CLIENT_INFO", get_client_info, kAny},
    {8, "RENAME_CLIENT", rename_client, kAny},
    {14, "DEL_BACKUP", del_backup, kAny},
    {15, "SET_CDP_SCHEDULE", set_cdp_schedule, kAny},
    {16, "INIT_MIRROR", init_mirror, kAny},
    {17, "CANCEL_INIT_MIRROR", cancel_init_mirror, kAny},
    {21, "CREATE_SNAPSHOT", create_snapshot, kAny},
    {23, "SNAP_RESTORE", snap_restore, kAny},
    {45, "DB_SET", db_set, kAny},
    {46, "BG_CREATE", bg_create, kAny},
    {48, "REM_DISK_FROM_BG", rem_disk_from_bg, kAny},
    {49, "DBCFG_DEL", dbcfg_del, kAny},
    {54, "REFRESH_SERVER", refresh_server, kAny},
    {55, "RESCAN_DISKS", rescan_disks, kAny},
    {57, "PING_CLIENT", ping_client, kAny},
    {62, "DEL_BACKUP_GRP", del_backup_grp, kAny},
    {69, "ADD_DISK_TO_BG", add_disk_to_grp, kAny},
    {30000, "ZEL_CREATE_CDP", zel_create_cdp, kAny},
    {30001, "ZEL_SET_CDP_SCHEDULE", zel_set_cdp_schedule, kAny},
    {30002, "ZEL_GET_CDP_SCHEDULE", zel_get_cdp_schedule, kAny},
    {30003, "ZEL_DEL_CDP_SCHEDULE", zel_del_cdp_schedule, kAny},
    {30004, "ZEL_CREATE_GROUP", zel_create_group, kAny},
    {30005, "ZEL_GET_GROUP", zel_get_group, kAny},
    {30006, "ZEL_DELETE_GROUP", zel_delete_group, kAny},
    {30007, "ZEL_ADD_MEMBER", zel_add_member, kAny},
    {30008, "ZEL_DEL_MEMBER", zel_del_member, kAny},
    // Any peer reaching the TCP port could otherwise read the configuration
    // or withdraw the host.
    {30010, "LOCAL_LIST", local_list, QOR_UNIX_ONLY},
    {30011, "LOCAL_WITHDRAW", local_withdraw, QOR_UNIX_ONLY},
};
const size_t qor_command_count = sizeof(qor_commands) / sizeof(qor_commands[0]);

// The lookup searches by halves, and no row may lie beyond the last code.
static_assert([] {
  for (size_t i = 0; i < sizeof(qor_commands) / sizeof(qor_commands[0]); i++) {
    if (qor_commands[i].code == 0 || qor_commands[i].code > kLastCode) return false;
    if (i > 0 && qor_commands[i - 1].code >= qor_commands[i].code) return false;
  }
  return true;
}());

const qor_command* qor_find_command(uint32_t code) {
  if (code == 0 || code > kLastCode) return nullptr;
  const qor_command* end = qor_commands + qor_command_count;
  const qor_command* row = std::lower_bound(
      qor_commands, end, code, [](const qor_command& r, uint32_t c) { return r.code < c; });
  return row != end && row->code == code ? row : nullptr;
}

int qor_zel_command_head(const qorc_req* req) {
  if (req == nullptr) {
    HM_LOG(LOG_ERR, "Null request, operation abortd.");
    return 1;
  }
  if (!qor_managed()) {
    HM_LOG(LOG_ERR, "Error: client is not protected by a server.");
    return 50;
  }
  return 0;
}

int qor_dispatch(qorc_req* req, int local) {
  const qorc_head& in = req->recv_head;
  qorc_head& out = req->send_head;
  if (in.proto_version != QORC_PROTO_VERSION) {
    HM_LOG(LOG_ERR, "Received command from incompatible Tidewell server.");
    out.ret_status = 1;
    out.data_len = 0;
    out.cmd = 0;
  } else {
    HM_LOG(LOG_INFO, "Received command code: %u.", in.cmd);
    out.ret_status = 1;
    out.cmd = in.cmd;
    HM_LOG(LOG_DEBUG, "CMD:%d", static_cast<int>(in.cmd));
    const qor_command* row = qor_find_command(in.cmd);
    if (row == nullptr || (row->where == QOR_UNIX_ONLY && !local)) {
      HM_LOG(LOG_ERR, "Invalid cmd: %d", static_cast<int>(in.cmd));
      return 0;
    }
    int status = row->handler(req);
    out.ret_status = static_cast<uint16_t>(status);
    if (row->code == kAddClient) {
      heartbeat_set_running(1);
      HM_LOG(LOG_INFO, "Client added, turn on heartbeat!");
    } else if (row->code == kDelClient && status == 0) {
      // A refused DEL_CLIENT (another manager's IDs) must not silence the
      // heartbeat of a host that is still managed.
      heartbeat_set_running(0);
    }
  }
  out.proto_version = QORC_PROTO_VERSION;
  out.reserved1 = 0;
  out.reserved2 = 0;
  out.tag = in.tag;
  return 1;
}

void* process_cmd(void* arg) {
  auto* conn = static_cast<qor_conn*>(arg);
  const int fd = conn->fd;
  const int local = conn->local;
  // One limit for the whole request, counted from the acceptance: a peer
  // that silently holds the connection, or trickles a byte now and then,
  // gives its slot back when it runs out.
  const int64_t deadline = conn->accepted_ms + QOR_REQUEST_DEADLINE * 1000LL;
  delete conn;

  qorc_req* req = req_alloc();
  if (req == nullptr) {
    HM_LOG(LOG_ERR, "Failed to initialize request");
  } else if (recv_from_remote_by(fd, req, deadline) == 0 && qor_dispatch(req, local)) {
    // A peer that never reads the reply is bounded the same way.
    send_to_remote_by(fd, req, hl_monotonic_ms() + QOR_REQUEST_DEADLINE * 1000LL);
  }
  req_free(req);
  close(fd);
  qor_slot_release(local);
  return nullptr;
}

int qor_local_addr_filtered(int fd, const struct list_head* filter) {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET)
    return 0;
  const list_head* pos;
  list_for_each(pos, filter) {
    if (list_entry(pos, ip_entry, list)->addr == addr.sin_addr.s_addr) return 1;
  }
  return 0;
}
