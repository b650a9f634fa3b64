// The dialogs drawn in the terminal.
#include "platform/posix/dialog_posix.h"

namespace qs::platform {

bool TerminalUiAvailable() { return false; }

int RunTerminalDialog(DialogId id, DialogHandler& handler) { return RunHeadlessDialog(id, handler); }

}  // namespace qs::platform
