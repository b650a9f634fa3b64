// An open dialog in memory: one list, a timer flag, the result, and a waker that counts.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fakes/fake_list_control.h"
#include "platform/ui.h"

namespace qs::testing {

class FakeDialogWindow final : public platform::DialogWindow {
 public:
  platform::ListControl& List(int controlId) override {
    listId = controlId;
    return list;
  }
  void SetText(int controlId, std::string_view text) override { texts[controlId] = text; }
  std::string GetText(int controlId) override { return texts[controlId]; }
  void SetChecked(int controlId, bool checked) override { checks[controlId] = checked; }
  bool IsChecked(int controlId) override { return checks[controlId]; }
  void Enable(int controlId, bool enabled) override { enabled_[controlId] = enabled; }
  bool IsEnabled(int controlId) const {
    const auto found = enabled_.find(controlId);
    return found == enabled_.end() || found->second;
  }
  void ResetComboList(int controlId) override { comboLists[controlId].clear(); }
  void AddComboItem(int controlId, std::string_view item) override {
    comboLists[controlId].emplace_back(item);
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
  std::map<int, std::string> texts;
  std::map<int, bool> checks;
  std::map<int, std::vector<std::string>> comboLists;
  int listId = 0;
  unsigned timerMilliseconds = 0;
  bool ended = false;
  int endResult = 0;
  std::atomic<int> wakes{0};

 private:
  std::map<int, bool> enabled_;
};

}  // namespace qs::testing
