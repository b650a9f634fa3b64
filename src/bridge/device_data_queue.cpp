// The port's blocks on their way to their clients, sent in order on a thread of their own.
#include "bridge/device_data_queue.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qs {

namespace {

// How long the sending thread looks for the next block of a run before it sleeps: a few
// reads of the port at full speed.
constexpr std::chrono::microseconds kRunGap{30};

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

DeviceDataQueue::DeviceDataQueue(std::size_t blockSize, std::size_t blocks, SendBlock send)
    : blockSize_(blockSize),
      send_(std::move(send)),
      bytes_(blockSize * blocks),
      blocks_(blocks),
      thread_([this] { Run(); }) {}

DeviceDataQueue::~DeviceDataQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void DeviceDataQueue::Hand(std::shared_ptr<ClientConnection> client, const std::uint8_t* bytes,
                           std::size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto idle = [&] { return waiting_ == 0 && !sendingHere_; };
  // No read of the port is larger than a place; such a block still goes whole, after the
  // blocks before it.
  if (count > blockSize_) changed_.wait(lock, idle);
  if (count != blockSize_ && idle()) {
    // A short block took all the port had: its reader would only wait for more, so it sends
    // the block itself, with no hand-over between threads on the way to the client.
    sendingHere_ = true;
    lock.unlock();
    send_(*client, bytes, count, false);
    client.reset();
    lock.lock();
    sendingHere_ = false;
    lock.unlock();
    changed_.notify_all();
    return;
  }
  changed_.wait(lock, [&] { return waiting_ < blocks_.size(); });
  const std::size_t place = (first_ + waiting_) % blocks_.size();
  std::memcpy(BytesOf(place), bytes, count);
  blocks_[place] = Block{std::move(client), count};
  ++waiting_;
  handed_.fetch_add(1, std::memory_order_relaxed);
  lock.unlock();
  changed_.notify_all();
}

std::size_t DeviceDataQueue::Drain(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto empty = [&] { return waiting_ == 0 && !sendingHere_; };
  if (changed_.wait_for(lock, limit, empty) || waiting_ == 0) return 0;
  // The oldest block is being sent: it stays for the sending thread to let go, and so does
  // the next when the send promised it, for only a send without that promise lets the bytes
  // held back for it go.
  const std::size_t kept = promised_ ? std::min<std::size_t>(2, waiting_) : 1;
  const std::size_t dropped = waiting_ - kept;
  for (std::size_t i = kept; i < waiting_; ++i) blocks_[(first_ + i) % blocks_.size()] = Block{};
  waiting_ = kept;
  return dropped;
}

void DeviceDataQueue::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return waiting_ > 0 || stopping_; });
    if (waiting_ == 0) return;
    // The place stays taken while its bytes go out, so Hand cannot overwrite them.
    Block& block = blocks_[first_];
    std::shared_ptr<ClientConnection> client = std::move(block.client);
    const std::size_t count = block.count;
    const std::uint8_t* bytes = BytesOf(first_);
    const bool promise = waiting_ > 1 && blocks_[(first_ + 1) % blocks_.size()].client == client;
    promised_ = promise;
    lock.unlock();
    if (client) send_(*client, bytes, count, promise);
    client.reset();  // the last user of a client let go closes its socket: not under the lock
    lock.lock();
    promised_ = false;
    first_ = (first_ + 1) % blocks_.size();
    --waiting_;
    changed_.notify_all();
    // In a run of full blocks the next one is a read away; looking for it a moment costs
    // less than sleeping and being woken for each. A run is on while the reader keeps ahead
    // of the sends or the look finds the next block; a slow device never starts one.
    const bool full = count == blockSize_;
    if (waiting_ > 0) {
      inRun_ = full;
    } else {
      inRun_ = inRun_ && full && !stopping_ && AwaitNextBriefly(lock);
    }
  }
}

bool DeviceDataQueue::AwaitNextBriefly(std::unique_lock<std::mutex>& lock) {
  const std::size_t seen = handed_.load(std::memory_order_relaxed);
  lock.unlock();
  const auto until = std::chrono::steady_clock::now() + kRunGap;
  bool came = false;
  while (!(came = handed_.load(std::memory_order_relaxed) != seen) &&
         std::chrono::steady_clock::now() < until) {
    CpuRelax();
  }
  lock.lock();
  return came;
}

}  // namespace qs
