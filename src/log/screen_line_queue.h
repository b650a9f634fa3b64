// Hands screen lines from any thread to the user-interface thread without waiting for it.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "log/screen_line_sink.h"

namespace qs {

// A logging thread never waits for the user-interface thread: it queues its line and
// wakes the UI, which takes the lines in the order they were queued.
class ScreenLineQueue final : public ScreenLineSink {
 public:
  // wake is called, under the queue's lock, when the queue stops being empty; it must not
  // wait. After Detach it is never called again.
  void Attach(std::function<void()> wake);
  void Detach();

  void ShowLine(std::string line) override;
  std::vector<std::string> TakeAll();

 private:
  std::mutex mutex_;
  std::deque<std::string> lines_;
  std::function<void()> wake_;
};

}  // namespace qs
