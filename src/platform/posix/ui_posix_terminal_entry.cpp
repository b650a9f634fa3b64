// The terminal dialogs' module: the one name the program looks up in it.
#include "platform/posix/ui_posix.h"

extern "C" __attribute__((visibility("default"))) int qs_run_terminal_dialog(
    qs::platform::DialogId id, qs::platform::DialogHandler& handler) {
  return qs::platform::RunTerminalDialog(id, handler);
}
