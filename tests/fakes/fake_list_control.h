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
    added.emplace_back(line);
    ++adds;
  }
  void SetCurSel(int index) override {
    selected = index;
    ++selects;
  }

  bool PassesEveryLineOn() const override { return passesEveryLineOn; }

  bool passesEveryLineOn = false;  // as the headless list, which writes each line to stdout
  std::vector<std::string> lines;
  std::vector<std::string> added;  // every line ever added, resets or not
  int selected = -1;
  int resets = 0;
  int adds = 0;
  int selects = 0;
};

}  // namespace qs::testing
