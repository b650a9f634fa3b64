// The two ways the Linux build shows its dialogs: in the terminal, or headless without one.
#pragma once

#include "platform/ui.h"

namespace qs::platform {

// True when stdin and stdout are both terminals that the terminal dialogs can use.
bool TerminalUiAvailable();
// In the terminal dialogs' module, which the program loads when it has a terminal.
int RunTerminalDialog(DialogId id, DialogHandler& handler);

// The main dialog without a screen: its list goes to stdout, SIGINT/SIGTERM cancel it.
int RunHeadlessDialog(DialogId id, DialogHandler& handler);

}  // namespace qs::platform
