// User-interface seam: modal dialogs driven by a platform-neutral handler, by control id.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/control_ids.h"

namespace qs::platform {

// A list box of text lines (the main dialog's event list).
class ListControl {
 public:
  virtual ~ListControl() = default;
  virtual void ResetContent() = 0;
  virtual void AddString(std::string_view line) = 0;
  virtual void SetCurSel(int index) = 0;
  // A list that passes every added line on (headless, to stdout) rather than only holding
  // what is on show: nothing added to it may be left out, even a line a reset would clear.
  virtual bool PassesEveryLineOn() const { return false; }
};

// An open dialog as its handler sees it, its controls addressed by id. Used on the
// user-interface thread only. Texts are single-byte strings, as the settings hold them.
class DialogWindow {
 public:
  virtual ~DialogWindow() = default;
  virtual ListControl& List(int controlId) = 0;

  virtual void SetText(int controlId, std::string_view text) = 0;
  virtual std::string GetText(int controlId) = 0;
  // Check boxes and radio buttons. Radio buttons of one group clear each other when the
  // user picks one; set explicitly, a group may end up with none checked.
  virtual void SetChecked(int controlId, bool checked) = 0;
  virtual bool IsChecked(int controlId) = 0;
  virtual void Enable(int controlId, bool enabled) = 0;
  // The drop-down list of a combo box (its text is SetText/GetText).
  virtual void ResetComboList(int controlId) = 0;
  virtual void AddComboItem(int controlId, std::string_view item) = 0;

  // A repeating timer; it stops when the dialog is destroyed.
  virtual void StartTimer(unsigned milliseconds) = 0;
  // Ends the modal loop; RunModalDialog returns result.
  virtual void End(int result) = 0;
  // A function that any thread may call, without waiting, to have the handler's OnWake
  // run on the user-interface thread soon. It must not be called after the dialog ended.
  virtual std::function<void()> Waker() = 0;
};

// What a dialog does; the platform calls it on the user-interface thread.
class DialogHandler {
 public:
  static constexpr int kCancel = QS_IDC_CANCEL;  // Esc, the close box or any other close request

  virtual ~DialogHandler() = default;
  virtual void OnOpen(DialogWindow& window) = 0;
  // A button was pressed or a check box or radio button clicked (its control id), or
  // kCancel. A check box has its new state by then.
  virtual void OnCommand(DialogWindow& window, int controlId) = 0;
  virtual void OnTimer(DialogWindow& window) = 0;
  virtual void OnWake(DialogWindow& window) = 0;
};

enum class DialogId { kMain, kSettings };

// Runs a dialog modally until its handler ends it, and returns the handler's result.
// The settings dialog is owned by the main dialog, which goes on ticking meanwhile.
// Returns -1 when the dialog cannot be shown (the settings dialog without a screen).
int RunModalDialog(DialogId id, DialogHandler& handler);

// True when the dialogs will run without a screen: the main dialog's list goes to stdout
// and nobody can open the settings.
bool RunsHeadless();

}  // namespace qs::platform
