// An open dialog in memory: one list, a timer flag, the result, and a waker that counts.
#pragma once

#include <atomic>
#include <functional>

#include "fakes/fake_list_control.h"
#include "platform/ui.h"

namespace qs::testing {

class FakeDialogWindow final : public platform::DialogWindow {
 public:
  platform::ListControl& List(int controlId) override {
    listId = controlId;
    return list;
  }
  void StartTimer(unsigned milliseconds) override { timerMilliseconds = milliseconds; }
  void End(int result) override {
    ended = true;
    endResult = result;
  }
  std::function<void()> Waker() override {
    return [this] { wakes.fetch_add(1); };
  }

  FakeListControl list;
  int listId = 0;
  unsigned timerMilliseconds = 0;
  bool ended = false;
  int endResult = 0;
  std::atomic<int> wakes{0};
};

}  // namespace qs::testing
