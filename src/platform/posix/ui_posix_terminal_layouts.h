// The two dialogs in the terminal: their controls with the shared ids and texts, Tab order and
// cell positions.
#pragma once

#include "platform/posix/ui_posix_terminal_dialog.h"

namespace qs::platform::terminal {

void BuildMainDialog(TerminalDialog& dialog);
void BuildSettingsDialog(TerminalDialog& dialog);

}  // namespace qs::platform::terminal
