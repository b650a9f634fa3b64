// The two dialogs' controls in the terminal: ids, texts, Tab order and cell positions.
#pragma once

#include "platform/posix/terminal_dialog.h"

namespace qs::platform::terminal {

void BuildMainDialog(TerminalDialog& dialog);
void BuildSettingsDialog(TerminalDialog& dialog);

}  // namespace qs::platform::terminal
