// simkernel's NBD server. Each connection is served by threads that take
// turns reading a request and then run it themselves, four from the start
// and more while all are busy, so a client at queue depth 16 really has 16
// requests in the kernel at once; replies leave under one write lock per
// connection.
#ifndef ZELMIR_SIM_NBD_SERVER_H
#define ZELMIR_SIM_NBD_SERVER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace nbd {

// What the server exports and how it reaches the data. The kernel in
// simkernel; a memory disk in tests.
class Backend {
 public:
  virtual ~Backend() = default;
  // True with *size when name is an export.
  virtual bool lookup(const std::string& name, uint64_t* size) = 0;
  virtual std::vector<std::string> exports() = 0;
  // 0 or -errno; may be called from several threads at once.
  virtual int io(const std::string& name, bool write, uint64_t offset, void* buf,
                 uint32_t len) = 0;
  virtual int flush(const std::string& name) = 0;
};

class Server {
 public:
  explicit Server(Backend* backend) : backend_(backend) {}
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on a unix stream socket at path (a stale file is replaced) and
  // serves every client in its own threads. 0 or -errno.
  int listen(const std::string& path);
  // Serves one already connected stream; the server owns fd from here on.
  void serve(int fd);

  int active_connections() const { return active_.load(); }

 private:
  void accept_loop();

  Backend* backend_;
  int listen_fd_ = -1;
  std::thread acceptor_;
  std::atomic<int> active_{0};
};

}  // namespace nbd

#endif  // ZELMIR_SIM_NBD_SERVER_H
