// An ordered record of what fakes were asked to do, shared by fakes on several threads.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace qs::testing {

class Journal {
 public:
  void Add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

}  // namespace qs::testing
