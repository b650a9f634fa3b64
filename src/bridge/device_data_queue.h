// The port's blocks on their way to their clients: the reader hands a block over and reads on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/client_connection.h"

namespace qs {

// A send to a client on loopback costs about as much as the read of the port before it; on
// its own thread the next read goes on while the last block is still being sent. Blocks keep
// their order and their size, each goes in one send, and each goes to the client that owned
// the port when it was read. A block sent while the next one for the same client already
// waits is sent with moreFollows, so that a run of blocks shares the loopback's segments.
class DeviceDataQueue {
 public:
  using SendBlock = std::function<void(ClientConnection& client, const std::uint8_t* bytes,
                                       std::size_t count, bool moreFollows)>;

  // At most blocks blocks of at most blockSize bytes wait; send runs on the queue's thread.
  DeviceDataQueue(std::size_t blockSize, std::size_t blocks, SendBlock send);
  // Sends what still waits (every send is bounded), then ends the thread.
  ~DeviceDataQueue();
  DeviceDataQueue(const DeviceDataQueue&) = delete;
  DeviceDataQueue& operator=(const DeviceDataQueue&) = delete;

  // Copies the block in. While every place is taken it waits for the oldest send to end,
  // which the sends' own time-out bounds; nothing is dropped for want of room. A short block
  // with nothing before it is sent at once, on the caller's thread.
  void Hand(std::shared_ptr<ClientConnection> client, const std::uint8_t* bytes, std::size_t count);

  // Returns once every block handed so far has been sent, or after limit; then the blocks
  // still waiting are dropped and their number returned. The send under way finishes, and
  // the block after it too when that send promised it (so nothing stays held back).
  std::size_t Drain(std::chrono::milliseconds limit);

 private:
  struct Block {
    std::shared_ptr<ClientConnection> client;
    std::size_t count = 0;
  };

  void Run();
  // With the lock held on entry and on return, looks without it for a block handed in the
  // next kRunGap; true when one came.
  bool AwaitNextBriefly(std::unique_lock<std::mutex>& lock);
  std::uint8_t* BytesOf(std::size_t place) { return bytes_.data() + place * blockSize_; }

  const std::size_t blockSize_;
  const SendBlock send_;
  std::vector<std::uint8_t> bytes_;
  std::vector<Block> blocks_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t first_ = 0;     // the oldest block waiting (or being sent)
  std::size_t waiting_ = 0;   // blocks handed and not yet sent, the one being sent included
  bool sendingHere_ = false;  // a short block is being sent on the thread that handed it
  bool promised_ = false;     // the block being sent told the socket that the next follows
  bool stopping_ = false;
  bool inRun_ = false;  // the sending thread's own: full blocks keep coming (see Run)
  std::atomic<std::size_t> handed_{0};  // blocks ever queued, for a look without the lock
  std::thread thread_;
};

}  // namespace qs
