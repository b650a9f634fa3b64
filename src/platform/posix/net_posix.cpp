// The network seam on POSIX: this host's IPv4 addresses and the TCP server's socket calls.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/net.h"

namespace qs::platform {

std::vector<std::string> HostIPv4Addresses(std::size_t max) {
  std::vector<std::string> addresses;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return addresses;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return addresses;
  for (addrinfo* entry = found; entry && addresses.size() < max; entry = entry->ai_next) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text)) addresses.emplace_back(text);
  }
  freeaddrinfo(found);
  return addresses;
}

namespace {

// Descriptor 0 is kNoSocket, and 1 and 2 belong to the standard streams even when closed:
// moves a new descriptor above them. -1 stays -1.
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// A self-pipe: Wake writes a byte, the read end turns readable.
class PipeWaker final : public SocketWaker {
 public:
  PipeWaker(int readEnd, int writeEnd) : read_(readEnd), write_(writeEnd) {}
  ~PipeWaker() override {
    close(read_);
    close(write_);
  }
  PipeWaker(const PipeWaker&) = delete;
  PipeWaker& operator=(const PipeWaker&) = delete;

  SocketHandle handle() const override { return static_cast<SocketHandle>(read_); }
  void Wake() override {
    const char byte = 1;
    // A full pipe (EAGAIN) is readable already.
    while (write(write_, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  void Drain() override {
    char bytes[64];
    for (;;) {
      const ssize_t got = read(read_, bytes, sizeof bytes);
      if (got > 0 || (got < 0 && errno == EINTR)) continue;
      return;  // EAGAIN: empty
    }
  }

 private:
  const int read_;
  const int write_;
};

// The Winsock number of a socket error, so that "SendTCP Error: <number>" reads the same in
// a log file whichever build wrote it.
long WinsockError(int error) {
  switch (error) {
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
      return 10035;  // WSAEWOULDBLOCK
    case EBADF:
    case ENOTSOCK:
      return 10038;  // WSAENOTSOCK
    case EMSGSIZE:
      return 10040;  // WSAEMSGSIZE
    case ENETDOWN:
      return 10050;  // WSAENETDOWN
    case ENETUNREACH:
      return 10051;  // WSAENETUNREACH
    case ENETRESET:
      return 10052;  // WSAENETRESET
    case ECONNABORTED:
      return 10053;  // WSAECONNABORTED
    case ECONNRESET:
      return 10054;  // WSAECONNRESET
    case ENOBUFS:
    case ENOMEM:
      return 10055;  // WSAENOBUFS
    case ENOTCONN:
      return 10057;  // WSAENOTCONN
    case EPIPE:
    case ESHUTDOWN:
      return 10058;  // WSAESHUTDOWN
    case ETIMEDOUT:
      return 10060;  // WSAETIMEDOUT
    case EHOSTUNREACH:
      return 10065;  // WSAEHOSTUNREACH
    default:
      return 10022;  // WSAEINVAL
  }
}

class PosixSockets final : public SocketApi {
 public:
  SendResult Send(SocketHandle socket, const std::uint8_t* bytes, std::size_t count,
                  std::chrono::milliseconds timeout, const SocketWaker* cancel,
                  bool moreFollows) override {
    const int fd = static_cast<int>(socket);
    // MSG_NOSIGNAL: a client that went away is an error number, not SIGPIPE. MSG_DONTWAIT:
    // a full buffer is waited for below, where the deadline and the cancel can end it.
    // MSG_MORE lets a run of blocks share the loopback's segments and the client's wake-ups.
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (moreFollows ? MSG_MORE : 0);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t sent = 0;
    while (true) {
      const ssize_t n = send(fd, bytes + sent, count - sent, flags);
      if (n >= 0) {
        sent += static_cast<std::size_t>(n);
        if (sent == count) break;
        continue;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        if (sent == 0) return {-1, WinsockError(errno)};
        break;
      }
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd watched[2] = {{fd, POLLOUT, 0}, {-1, POLLIN, 0}};
      if (cancel) watched[1].fd = static_cast<int>(cancel->handle());
      const int limit =
          static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX));
      if (poll(watched, 2, limit) > 0 && (watched[1].revents & POLLIN) != 0) break;
    }
    return {static_cast<long>(sent), 0};
  }
  bool Startup() override { return true; }
  void Cleanup() override {}

  SocketHandle Listen(std::uint16_t port, int backlog) override {
    const int fd = AboveStandardStreams(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0) return kNoSocket;
    // A restart must get the port back at once, despite connections still in TIME_WAIT;
    // Linux still refuses the port while another socket listens on it.
    const int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0) {
      close(fd);
      return kNoSocket;
    }
    return static_cast<SocketHandle>(fd);
  }

  SocketHandle Accept(SocketHandle listener) override {
    int fd = -1;
    do {
      fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    fd = AboveStandardStreams(fd);
    return fd < 0 ? kNoSocket : static_cast<SocketHandle>(fd);
  }

  void SetNoDelay(SocketHandle socket) override {
    const int on = 1;
    setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }

  long Receive(SocketHandle socket, std::uint8_t* buffer, std::size_t count) override {
    for (;;) {
      const ssize_t got = recv(static_cast<int>(socket), buffer, count, 0);
      if (got >= 0) return static_cast<long>(got);
      if (errno != EINTR) return -1;
    }
  }

  void Close(SocketHandle socket) override {
    const int fd = static_cast<int>(socket);
    shutdown(fd, SHUT_RDWR);
    close(fd);
  }

  int WaitReadable(const std::vector<SocketHandle>& sockets, std::vector<bool>& readable,
                   std::chrono::milliseconds timeout) override {
    std::vector<pollfd> watched(sockets.size());
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      // poll skips a negative descriptor: a free slot is never mistaken for stdin.
      watched[i].fd = sockets[i] == kNoSocket ? -1 : static_cast<int>(sockets[i]);
      watched[i].events = POLLIN;
    }
    const auto limit = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INT_MAX);
    const int ready = poll(watched.data(), watched.size(), static_cast<int>(limit));
    readable.assign(sockets.size(), false);
    if (ready < 0) return errno == EINTR ? 0 : -1;  // a signal: the caller waits again
    int count = 0;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      // Hang-up and errors count too, so that the caller's recv reports them.
      if (watched[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
        readable[i] = true;
        ++count;
      }
    }
    return count;
  }

  std::unique_ptr<SocketWaker> CreateWaker() override {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    const int readEnd = AboveStandardStreams(ends[0]);
    const int writeEnd = AboveStandardStreams(ends[1]);
    if (readEnd < 0 || writeEnd < 0) {
      if (readEnd >= 0) close(readEnd);
      if (writeEnd >= 0) close(writeEnd);
      return nullptr;
    }
    return std::make_unique<PipeWaker>(readEnd, writeEnd);
  }
};

}  // namespace

SocketApi& SystemSockets() {
  static PosixSockets sockets;
  return sockets;
}

}  // namespace qs::platform
