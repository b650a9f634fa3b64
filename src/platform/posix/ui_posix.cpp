// Picks the terminal dialogs when there is a terminal, the headless runner otherwise.
#include "platform/posix/ui_posix.h"

namespace qs::platform {

int RunModalDialog(DialogId id, DialogHandler& handler) {
  if (TerminalUiAvailable()) return RunTerminalDialog(id, handler);
  return RunHeadlessDialog(id, handler);
}

bool RunsHeadless() {
  return !TerminalUiAvailable();
}

}  // namespace qs::platform
