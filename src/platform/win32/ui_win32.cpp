// Modal dialogs on Win32: resource templates, created as Unicode windows, driven by a handler.
#include <windows.h>
// commctrl.h needs windows.h before it.
#include <commctrl.h>

#include <deque>
#include <string>

#include "platform/control_ids.h"
#include "platform/ui.h"

namespace qs::platform {
namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
constexpr UINT_PTR kTickTimerId = 1;

class Win32ListControl final : public ListControl {
 public:
  explicit Win32ListControl(HWND list) : list_(list) {}
  void ResetContent() override { SendMessageA(list_, LB_RESETCONTENT, 0, 0); }
  void AddString(std::string_view line) override {
    const std::string text(line);
    SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  void SetCurSel(int index) override { SendMessageA(list_, LB_SETCURSEL, index, 0); }

 private:
  HWND list_;
};

class Win32DialogWindow final : public DialogWindow {
 public:
  Win32DialogWindow(HWND dialog, DialogHandler& handler) : dialog_(dialog), handler_(handler) {}

  ListControl& List(int controlId) override {
    lists_.emplace_back(GetDlgItem(dialog_, controlId));
    return lists_.back();
  }
  void SetText(int controlId, std::string_view text) override {
    SetDlgItemTextA(dialog_, controlId, std::string(text).c_str());
  }
  std::string GetText(int controlId) override {
    const HWND control = GetDlgItem(dialog_, controlId);
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(control)) + 1, '\0');
    const int length = GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return text;
  }
  void SetChecked(int controlId, bool checked) override {
    SendDlgItemMessageA(dialog_, controlId, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  bool IsChecked(int controlId) override {
    return SendDlgItemMessageA(dialog_, controlId, BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void Enable(int controlId, bool enabled) override {
    EnableWindow(GetDlgItem(dialog_, controlId), enabled ? TRUE : FALSE);
  }
  void ResetComboList(int controlId) override {
    SendDlgItemMessageA(dialog_, controlId, CB_RESETCONTENT, 0, 0);
  }
  void AddComboItem(int controlId, std::string_view item) override {
    const std::string text(item);
    SendDlgItemMessageA(dialog_, controlId, CB_ADDSTRING, 0,
                        reinterpret_cast<LPARAM>(text.c_str()));
  }
  void StartTimer(unsigned milliseconds) override {
    SetTimer(dialog_, kTickTimerId, milliseconds, nullptr);
  }
  void End(int result) override { EndDialog(dialog_, result); }
  std::function<void()> Waker() override {
    HWND dialog = dialog_;
    return [dialog] { PostMessageW(dialog, kWakeMessage, 0, 0); };
  }

  DialogHandler& handler() { return handler_; }

 private:
  HWND dialog_;
  DialogHandler& handler_;
  std::deque<Win32ListControl> lists_;  // stable references
};

struct DialogStart {
  DialogHandler* handler;
};

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* window = reinterpret_cast<Win32DialogWindow*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      auto* start = reinterpret_cast<DialogStart*>(lParam);
      window = new Win32DialogWindow(dialog, *start->handler);
      SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(window));
      window->handler().OnOpen(*window);
      return TRUE;  // focus goes to the first control that takes it
    }
    case WM_COMMAND:
      if (!window) return FALSE;
      // Clicks only: list, combo and edit notifications carry their control's id too.
      if (HIWORD(wParam) == BN_CLICKED) {
        window->handler().OnCommand(*window, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    case WM_TIMER:
      if (window && wParam == kTickTimerId) window->handler().OnTimer(*window);
      return TRUE;
    case kWakeMessage:
      if (window) window->handler().OnWake(*window);
      return TRUE;
    case WM_DESTROY:
      KillTimer(dialog, kTickTimerId);
      SetWindowLongPtrW(dialog, DWLP_USER, 0);
      delete window;
      return TRUE;
    default:
      return FALSE;
  }
}

// The manifest asks for version 6 of the common controls: their window classes are registered
// once, before the first dialog uses them.
void RegisterCommonControls() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    return InitCommonControlsEx(&controls) != FALSE;
  }();
  static_cast<void>(registered);
}

int TemplateId(DialogId id) {
  return id == DialogId::kMain ? QS_IDD_MAIN : QS_IDD_SETTINGS;
}

}  // namespace

int RunModalDialog(DialogId id, DialogHandler& handler) {
  RegisterCommonControls();
  DialogStart start{&handler};
  // The main dialog has no owner; the settings dialog belongs to the main dialog, which is
  // the active window when its button is pressed.
  const HWND owner = id == DialogId::kMain ? nullptr : GetActiveWindow();
  const INT_PTR result =
      DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(TemplateId(id)), owner,
                      DialogProc, reinterpret_cast<LPARAM>(&start));
  return static_cast<int>(result);
}

bool RunsHeadless() {
  return false;  // the dialogs always have the desktop
}

}  // namespace qs::platform
