// The server thread: accept, receive, log the traffic, hand each chunk on.
#include "bridge/tcp_server.h"

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

namespace qs {

void TcpServer::StartTcpServer() {
  log_.LogEvent("Serwer TCP On - Start on port " +
                std::to_string(EffectiveTcpPort(settings_.Snapshot())));
  stopRequested_.store(false);
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    threadEnded_ = false;
    startLogged_ = false;
    listenOutcome_ = ListenOutcome::kPending;
  }
  try {
    thread_ = std::thread([this] { TcpServerThread(); });
  } catch (const std::system_error&) {
    tcpServerThread_ = ThreadState::kStopped;
    SetListenOutcome(ListenOutcome::kFailed);
    return;
  }
  tcpServerThread_ = ThreadState::kRunning;
  log_.LogEvent("Serwer TCP On - Stop");
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    startLogged_ = true;
  }
  changed_.notify_all();
}

void TcpServer::StopTcpServer() {
  // The request goes in before the line: of a client's data, the log then shows behind the
  // line at most the chunk the server holds now, however long the line takes to write.
  const bool running = RequestStop();
  log_.LogEvent("Serwer TCP Off - Start");
  if (running && WaitUntilStopped()) log_.LogEvent("Serwer TCP Off - Stop");
}

ListenOutcome TcpServer::WaitForListenOutcome(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(wakeMutex_);
  changed_.wait_for(lock, limit,
                    [&] { return listenOutcome_ != ListenOutcome::kPending || threadEnded_; });
  return listenOutcome_;
}

void TcpServer::SetListenOutcome(ListenOutcome outcome) {
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    listenOutcome_ = outcome;
  }
  changed_.notify_all();
}

bool TcpServer::Stop() {
  return RequestStop() && WaitUntilStopped();
}

bool TcpServer::RequestStop() {
  if (tcpServerThread_ != ThreadState::kRunning) return false;
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    stopRequested_.store(true);
    if (waker_) waker_->Wake();
  }
  changed_.notify_all();
  return true;
}

bool TcpServer::WaitUntilStopped() {
  // The thread may be writing a client's data to a device that holds its line: interrupt
  // it, and again in case the next write had not begun yet.
  std::unique_lock<std::mutex> lock(wakeMutex_);
  while (!changed_.wait_for(lock, kStopRepeat, [&] { return threadEnded_; })) {
    lock.unlock();
    demux_.InterruptWrites();
    lock.lock();
  }
  lock.unlock();
  thread_.join();
  tcpServerThread_ = ThreadState::kStopped;
  return true;
}

void TcpServer::TcpServerThread() {
  Run();
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    threadEnded_ = true;
  }
  changed_.notify_all();
}

void TcpServer::LogSetUpError(const std::string& text) {
  // After start-up's own two lines, which say only that the thread was started.
  {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    changed_.wait_for(lock, kStartLineWait, [&] { return startLogged_; });
  }
  log_.LogEvent(text);
  SetListenOutcome(ListenOutcome::kFailed);
}

void TcpServer::Run() {
  const std::int32_t port = EffectiveTcpPort(settings_.Snapshot());
  const std::string cannotListen =
      "Error - nie mozna nasluchiwac na porcie TCP " + std::to_string(port);
  if (!sockets_.Startup()) {
    LogSetUpError(cannotListen);
    return;
  }
  if (port < 0 || port > 65535) {
    // Listening on the low 16 bits would put the server where nobody expects it.
    LogSetUpError("Error - niepoprawny port TCP " + std::to_string(port));
    sockets_.Cleanup();
    return;
  }
  const platform::SocketHandle listener =
      sockets_.Listen(static_cast<std::uint16_t>(port), kBacklog);
  if (listener == platform::kNoSocket) {
    // Nothing listens: say so, or the two start lines would be all anyone sees.
    LogSetUpError(cannotListen);
  } else {
    SetListenOutcome(ListenOutcome::kListening);
    sockets_.SetNoDelay(listener);
    std::unique_ptr<platform::SocketWaker> waker = sockets_.CreateWaker();
    {
      std::lock_guard<std::mutex> lock(wakeMutex_);
      waker_ = waker.get();
    }
    Serve(listener, waker.get());
    log_.FlushTraffic();
    trafficHeldSince_.reset();
    {
      std::lock_guard<std::mutex> lock(wakeMutex_);
      waker_ = nullptr;
    }
    for (ClientSlot& slot : slots_) slot.Release();
    sockets_.Close(listener);
  }
  sockets_.Cleanup();
}

void TcpServer::Serve(platform::SocketHandle listener, platform::SocketWaker* waker) {
  using Clock = std::chrono::steady_clock;
  std::vector<platform::SocketHandle> watched;
  std::vector<bool> readable;
  std::array<ClientSlot*, kClientSlotCount> watchedSlots{};
  Clock::time_point acceptResumes{};
  while (!StopRequested()) {
    // A resting listener is left out of the wait, which ends when it may accept again.
    const Clock::time_point now = Clock::now();
    const bool listening = now >= acceptResumes;
    std::chrono::milliseconds limit = kWaitLimit;
    if (!listening) {
      limit = std::min(limit, std::chrono::ceil<std::chrono::milliseconds>(acceptResumes - now));
    }
    WriteDueTraffic(limit);
    watched.assign({listening ? listener : platform::kNoSocket});
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
    const int ready = sockets_.WaitReadable(watched, readable, limit);
    if (ready < 0) {
      std::unique_lock<std::mutex> lock(wakeMutex_);
      changed_.wait_for(lock, kWaitFailurePause, [&] { return StopRequested(); });
      continue;
    }
    if (ready == 0) continue;
    if (waker && readable[1]) waker->Drain();
    if (StopRequested()) return;
    if (readable[0] && !AcceptClient(listener)) acceptResumes = Clock::now() + kAcceptPause;
    for (std::size_t i = 0; i < clients; ++i) {
      if (readable[firstClient + i] && !ReadClient(*watchedSlots[i])) return;
    }
  }
}

bool TcpServer::AcceptClient(platform::SocketHandle listener) {
  const auto slot = std::find_if(slots_.begin(), slots_.end(),
                                 [](const ClientSlot& each) { return each.IsFree(); });
  if (slot == slots_.end()) {
    // A sixth client: taken off the queue and closed, so the wait does not wake for it
    // again and again, and nobody connected is displaced.
    const platform::SocketHandle sixth = sockets_.Accept(listener);
    if (sixth == platform::kNoSocket) return false;
    sockets_.Close(sixth);
    return true;
  }
  // What ends a send to this client at once when it is let go. Made before the accept: a
  // connection taken with nothing left for it would have to be closed, where one left in
  // the queue is taken once a client leaves.
  std::unique_ptr<platform::SocketWaker> cancel = sockets_.CreateWaker();
  if (!cancel) return false;
  const platform::SocketHandle client = sockets_.Accept(listener);
  if (client == platform::kNoSocket) return false;
  sockets_.SetNoDelay(client);
  slot->Assign(std::make_shared<ClientConnection>(sockets_, client, std::move(cancel)));
  return true;
}

bool TcpServer::ReadClient(ClientSlot& slot) {
  const long received = sockets_.Receive(slot.socket(), receiveBuffer_.data(), kChunkSize);
  if (received <= 0) {
    slot.Release();
    return true;
  }
  const auto count = static_cast<std::size_t>(received);
  receiveBuffer_[count] = 0;
  // The traffic text comes before the lines that processing the chunk writes; the file gets
  // it before the first such line, or a little later with the chunks that follow.
  log_.LogTraffic(receiveBuffer_.data(), count);
  if (!trafficHeldSince_) trafficHeldSince_ = std::chrono::steady_clock::now();
  demux_.ProcessClientData(receiveBuffer_.data(), count, slot);
  return !StopRequested();
}

void TcpServer::WriteDueTraffic(std::chrono::milliseconds& limit) {
  if (!trafficHeldSince_) return;
  const auto due = *trafficHeldSince_ + kTrafficHold;
  const auto now = std::chrono::steady_clock::now();
  if (now < due) {
    limit = std::min(limit, std::chrono::ceil<std::chrono::milliseconds>(due - now));
    return;
  }
  log_.FlushTraffic();
  trafficHeldSince_.reset();
}

}  // namespace qs
