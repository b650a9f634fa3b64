// Picks the terminal dialogs when there is a terminal, the headless runner otherwise.
#include "platform/posix/ui_posix.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/posix/ui_posix_terminal_module.h"

namespace qs::platform {
namespace {

// Decided once, so that the dialogs and RunsHeadless always agree.
TerminalDialogRunner TerminalDialogs() {
  static const TerminalDialogRunner runner = []() -> TerminalDialogRunner {
    if (!TerminalUiAvailable()) return nullptr;
    std::string error;
    const TerminalDialogRunner loaded = LoadTerminalDialogs(error);
    if (loaded == nullptr) {
      WriteToStandardError("terminal dialogs: " + error + "; running without them\n");
    }
    return loaded;
  }();
  return runner;
}

}  // namespace

bool TerminalUiAvailable() {
  // Without both terminals the toolkit would end the process; a dumb one cannot draw.
  const char* term = std::getenv("TERM");
  return isatty(0) == 1 && isatty(1) == 1 && term != nullptr && *term != '\0' &&
         std::strcmp(term, "dumb") != 0;
}

int RunModalDialog(DialogId id, DialogHandler& handler) {
  if (const TerminalDialogRunner run = TerminalDialogs()) return run(id, handler);
  return RunHeadlessDialog(id, handler);
}

bool RunsHeadless() {
  return TerminalDialogs() == nullptr;
}

}  // namespace qs::platform
