// The dialogs drawn in the terminal: the application object, its loop hooks and signals.
#include <langinfo.h>
#include <signal.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/dialog_texts.h"
#include "platform/posix/stop_signals.h"
#include "platform/posix/ui_posix.h"
#include "platform/posix/ui_posix_terminal_dialog.h"
#include "platform/posix/ui_posix_terminal_layouts.h"

namespace qs::platform {
namespace {

namespace fc = finalcut;
using terminal::TerminalDialog;

// The toolkit's SIGWINCH handler takes a lock, which deadlocks when the signal arrives while
// the interrupted thread holds it. Ours only notes the change; the toolkit's handler then
// runs from the event loop, where nothing holds that lock.
std::atomic<bool> windowChanged{false};
struct sigaction toolkitWindowChange {};

void OnWindowChange(int) {
  windowChanged.store(true);
}

void TakeOverWindowChange() {
  struct sigaction ours {};
  ours.sa_handler = OnWindowChange;
  sigemptyset(&ours.sa_mask);
  ours.sa_flags = SA_RESTART;
  sigaction(SIGWINCH, &ours, &toolkitWindowChange);
}

void PassOnWindowChange() {
  if (!windowChanged.exchange(false)) return;
  struct sigaction ours {};
  sigaction(SIGWINCH, &toolkitWindowChange, &ours);
  raise(SIGWINCH);  // delivered to this thread before raise returns
  sigaction(SIGWINCH, &ours, nullptr);
}

void GiveBackWindowChange() {
  sigaction(SIGWINCH, &toolkitWindowChange, nullptr);
}

// Runs on the user-interface thread on every pass of every event loop, nested ones too:
// the one place where wake-ups, stop signals and terminal resizes are taken in.
class Application final : public fc::FApplication {
 public:
  Application(const int& argc, char* argv[]) : fc::FApplication(argc, argv) {}

  std::vector<TerminalDialog*> open;  // innermost last

  ~Application() override {
    if (signalsTaken_) GiveBackWindowChange();
  }

 protected:
  void processExternalUserEvent() override {
    if (!signalsTaken_) {
      // The toolkit put in its own SIGINT/SIGTERM handlers, which abort, when it showed
      // the first dialog: ours ask for an orderly end instead.
      InstallStopSignals();
      TakeOverWindowChange();
      signalsTaken_ = true;
    }
    PassOnWindowChange();
    if (TakeStopRequest()) stopRequested_ = true;
    if (open.empty()) return;
    // The innermost dialog is cancelled first; its caller's turn comes once it returned.
    if (stopRequested_ && !open.back()->Ended()) open.back()->Cancel();
    bool resized = false;
    for (std::size_t i = 0; i < open.size(); ++i) resized = open[i]->Poll() || resized;
    // Moved dialogs leave their old frames behind on the desktop.
    if (resized) redraw();
  }

 private:
  bool signalsTaken_ = false;
  bool stopRequested_ = false;
};

Application* application = nullptr;

// Polish letters are garbled under a locale that is not UTF-8.
void UseUtf8Locale() {
  std::setlocale(LC_ALL, "");
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || std::strcmp(codeset, "UTF-8") != 0) {
    setenv("LC_ALL", "C.UTF-8", 1);
    std::setlocale(LC_ALL, "C.UTF-8");
  }
}

int RunMain(DialogHandler& handler) {
  UseUtf8Locale();
  static char name[] = "quillon-smart";
  static char* argv[] = {name, nullptr};
  static const int argc = 1;
  int result = DialogHandler::kCancel;
  {
    Application app(argc, argv);
    // Input is polled; a short wait keeps wake-ups from other threads prompt.
    fc::FKeyboard::setReadBlockingTime(10000);
    application = &app;
    TerminalDialog dialog(&app, handler, QS_WIDE(QS_TEXT_MAIN_CAPTION));
    terminal::BuildMainDialog(dialog);
    fc::FWidget::setMainWidget(&dialog);
    app.open.push_back(&dialog);
    result = dialog.Run();
    app.open.pop_back();
    application = nullptr;
  }
  // The toolkit has given the terminal back and may have reset the signal handlers.
  InstallStopSignals();
  return result;
}

int RunSettings(DialogHandler& handler) {
  if (application == nullptr || application->open.empty()) return -1;
  TerminalDialog* owner = application->open.back();
  fc::FWidget* ownerFocus = fc::FWidget::getFocusWidget();
  int result = DialogHandler::kCancel;
  {
    TerminalDialog dialog(owner, handler, QS_WIDE(QS_TEXT_SETTINGS_CAPTION));
    terminal::BuildSettingsDialog(dialog);
    application->open.push_back(&dialog);
    result = dialog.Run();
    application->open.pop_back();
  }
  // Focus would otherwise land anywhere after the nested dialog.
  if (!owner->Ended()) {
    if (ownerFocus != nullptr) ownerFocus->setFocus();
    owner->redraw();
  }
  return result;
}

}  // namespace

int RunTerminalDialog(DialogId id, DialogHandler& handler) {
  return id == DialogId::kMain ? RunMain(handler) : RunSettings(handler);
}

}  // namespace qs::platform
