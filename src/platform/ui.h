// User-interface seam: the controls that the core drives, by what they do rather than by OS.
#pragma once

#include <string_view>

namespace qs::platform {

// A list box of text lines (the main dialog's event list). Used on the user-interface
// thread only.
class ListControl {
 public:
  virtual ~ListControl() = default;
  virtual void ResetContent() = 0;
  virtual void AddString(std::string_view line) = 0;
  virtual void SetCurSel(int index) = 0;
};

}  // namespace qs::platform
