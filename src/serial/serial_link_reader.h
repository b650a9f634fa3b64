// The reader thread's own state, one per open port; shared by the serial link's two files.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/comm.h"
#include "serial/serial_link.h"

namespace qs {

// One per open. Its own stop state, so an old reader can never take a new one's flags.
struct SerialLink::Reader {
  explicit Reader(std::shared_ptr<platform::CommPort> p) : port(std::move(p)) {}

  std::shared_ptr<platform::CommPort> port;
  std::atomic<bool> running{false};   // set by the reader once it runs; cleared to stop it
  std::atomic<bool> stopping{false};  // a close asked it to end
  std::atomic<bool> quiet{false};     // end without a log line (program exit)
  std::atomic<bool> finished{false};
  std::atomic<bool> closedItself{false};  // its device went away and it closed the port
  std::mutex mutex;
  std::condition_variable changed;
  std::thread thread;

  void Signal() {
    { std::lock_guard<std::mutex> lock(mutex); }
    changed.notify_all();
  }
  template <typename Predicate>
  void Wait(Predicate done) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, done);
  }
  template <typename Predicate>
  bool WaitFor(std::chrono::milliseconds limit, Predicate done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, done);
  }
};

}  // namespace qs
