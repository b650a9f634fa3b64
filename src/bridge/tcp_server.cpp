// The server thread: accept, receive, log the traffic, hand each chunk on.
#include "bridge/tcp_server.h"

#include <string>
#include <system_error>
#include <vector>

namespace qs {

void TcpServer::StartTcpServer() {
  log_.LogEvent("Serwer TCP On - Start on port " +
                std::to_string(EffectiveTcpPort(settings_.Snapshot())));
  stopRequested_.store(false);
  try {
    thread_ = std::thread([this] { TcpServerThread(); });
  } catch (const std::system_error&) {
    tcpServerThread_ = ThreadState::kStopped;
    return;
  }
  tcpServerThread_ = ThreadState::kRunning;
  log_.LogEvent("Serwer TCP On - Stop");
}

void TcpServer::StopTcpServer() {
  log_.LogEvent("Serwer TCP Off - Start");
  if (Stop()) log_.LogEvent("Serwer TCP Off - Stop");
}

bool TcpServer::Stop() {
  if (tcpServerThread_ != ThreadState::kRunning) return false;
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    stopRequested_.store(true);
    if (waker_) waker_->Wake();
  }
  stopped_.notify_all();
  thread_.join();
  tcpServerThread_ = ThreadState::kStopped;
  return true;
}

void TcpServer::TcpServerThread() {
  if (!sockets_.Startup()) return;
  const std::int32_t port = EffectiveTcpPort(settings_.Snapshot());
  if (port < 0 || port > 65535) {
    // Listening on the low 16 bits would put the server where nobody expects it.
    log_.LogEvent("Error - niepoprawny port TCP " + std::to_string(port));
    sockets_.Cleanup();
    return;
  }
  const platform::SocketHandle listener =
      sockets_.Listen(static_cast<std::uint16_t>(port), kBacklog);
  if (listener != platform::kNoSocket) {
    sockets_.SetNoDelay(listener);
    std::unique_ptr<platform::SocketWaker> waker = sockets_.CreateWaker();
    {
      std::lock_guard<std::mutex> lock(wakeMutex_);
      waker_ = waker.get();
    }
    Serve(listener, waker.get());
    {
      std::lock_guard<std::mutex> lock(wakeMutex_);
      waker_ = nullptr;
    }
    for (ClientSlot& slot : slots_) {
      const platform::SocketHandle client = slot.Release();
      if (client != platform::kNoSocket) sockets_.Close(client);
    }
    sockets_.Close(listener);
  }
  sockets_.Cleanup();
}

void TcpServer::Serve(platform::SocketHandle listener, platform::SocketWaker* waker) {
  std::vector<platform::SocketHandle> watched;
  std::vector<bool> readable;
  std::array<ClientSlot*, kClientSlotCount> watchedSlots{};
  while (!StopRequested()) {
    watched.assign({listener});
    if (waker) watched.push_back(waker->handle());
    const std::size_t firstClient = watched.size();
    std::size_t clients = 0;
    for (ClientSlot& slot : slots_) {
      const platform::SocketHandle socket = slot.socket();
      if (socket == platform::kNoSocket) continue;
      watched.push_back(socket);
      watchedSlots[clients++] = &slot;
    }

    readable.assign(watched.size(), false);
    const int ready = sockets_.WaitReadable(watched, readable, kWaitLimit);
    if (ready < 0) {
      std::unique_lock<std::mutex> lock(wakeMutex_);
      stopped_.wait_for(lock, kWaitFailurePause, [&] { return StopRequested(); });
      continue;
    }
    if (ready == 0) continue;
    if (waker && readable[1]) waker->Drain();
    if (StopRequested()) return;
    if (readable[0]) AcceptClient(listener);
    for (std::size_t i = 0; i < clients; ++i) {
      if (readable[firstClient + i] && !ReadClient(*watchedSlots[i])) return;
    }
  }
}

void TcpServer::AcceptClient(platform::SocketHandle listener) {
  const platform::SocketHandle client = sockets_.Accept(listener);
  if (client == platform::kNoSocket) return;
  for (ClientSlot& slot : slots_) {
    if (!slot.IsFree()) continue;
    sockets_.SetNoDelay(client);
    slot.Assign(client);
    return;
  }
  // A sixth client: taken off the queue and closed, so the wait does not wake for it
  // again and again, and nobody connected is displaced.
  sockets_.Close(client);
}

bool TcpServer::ReadClient(ClientSlot& slot) {
  const long received = sockets_.Receive(slot.socket(), receiveBuffer_.data(), kChunkSize);
  if (received <= 0) {
    sockets_.Close(slot.Release());
    return true;
  }
  const auto count = static_cast<std::size_t>(received);
  receiveBuffer_[count] = 0;
  // The traffic text comes before the lines that processing the chunk writes.
  log_.LogTraffic(receiveBuffer_.data(), count);
  demux_.ProcessClientData(receiveBuffer_.data(), count, slot);
  return !StopRequested();
}

}  // namespace qs
