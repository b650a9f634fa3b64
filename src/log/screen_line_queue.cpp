// The queue between logging threads and the event list.
#include "log/screen_line_queue.h"

#include <utility>

namespace qs {

void ScreenLineQueue::Attach(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_ = std::move(wake);
  if (!lines_.empty() && wake_) wake_();
}

void ScreenLineQueue::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_ = nullptr;
}

void ScreenLineQueue::ShowLine(std::string line) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool wasEmpty = lines_.empty();
  lines_.push_back(std::move(line));
  // One wake per batch: the UI takes everything queued until then.
  if (wasEmpty && wake_) wake_();
}

std::vector<std::string> ScreenLineQueue::TakeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> taken(std::make_move_iterator(lines_.begin()),
                                 std::make_move_iterator(lines_.end()));
  lines_.clear();
  return taken;
}

}  // namespace qs
