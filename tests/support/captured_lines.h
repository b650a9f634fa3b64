// Collects the texts of logged lines (the stamp cut off), from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "log/screen_line_sink.h"

namespace qs::testing {

class CapturedLines final : public ScreenLineSink {
 public:
  static constexpr std::size_t kStampLength = 18;  // "HH:MM:SS MM/DD/YY "

  void ShowLine(std::string line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(line.substr(kStampLength));
  }
  std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  std::vector<std::string> TextsFrom(std::size_t first) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (first >= texts_.size()) return {};
    return {texts_.begin() + static_cast<std::ptrdiff_t>(first), texts_.end()};
  }
  std::size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

}  // namespace qs::testing
