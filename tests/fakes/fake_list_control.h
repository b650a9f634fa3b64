// An in-memory list box that records what it holds and which line is selected.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/ui.h"

namespace qs::testing {

class FakeListControl final : public platform::ListControl {
 public:
  void ResetContent() override {
    lines.clear();
    ++resets;
  }
  void AddString(std::string_view line) override {
    lines.emplace_back(line);
    ++adds;
  }
  void SetCurSel(int index) override {
    selected = index;
    ++selects;
  }

  std::vector<std::string> lines;
  int selected = -1;
  int resets = 0;
  int adds = 0;
  int selects = 0;
};

}  // namespace qs::testing
