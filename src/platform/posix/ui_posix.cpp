// Picks the terminal dialogs when there is a terminal, the headless runner otherwise.
#include "platform/posix/ui_posix.h"

namespace qs::platform {

int RunModalDialog(DialogId id, DialogHandler& handler) {
  if (TerminalUiAvailable()) return RunTerminalDialog(id, handler);
  return RunHeadlessDialog(id, handler);
}

}  // namespace qs::platform
