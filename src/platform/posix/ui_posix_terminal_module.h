// The terminal dialogs' module: loaded only when there is a terminal to draw them on.
#pragma once

#include <string>

#include "platform/ui.h"

namespace qs::platform {

// What the module runs a dialog with (its RunTerminalDialog).
using TerminalDialogRunner = int (*)(DialogId id, DialogHandler& handler);

// The name the module exports its runner under.
inline constexpr const char* kTerminalDialogEntry = "qs_run_terminal_dialog";

// Loads the module from beside the program (the build tree) or from the private library
// folder under the install prefix. Null when it cannot be loaded, with the reason in error.
TerminalDialogRunner LoadTerminalDialogs(std::string& error);

}  // namespace qs::platform
