// Finds and loads the terminal dialogs' module; a program without a terminal never maps it.
#include "platform/posix/ui_posix_terminal_module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#if !defined(QS_TERMINAL_MODULE) || !defined(QS_PRIVATE_LIB_DIR)
#error "the build defines QS_TERMINAL_MODULE and QS_PRIVATE_LIB_DIR"
#endif

namespace qs::platform {
namespace {

std::string ProgramDirectory() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  const std::string program(path, static_cast<std::size_t>(length));
  const std::size_t slash = program.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : program.substr(0, slash);
}

}  // namespace

TerminalDialogRunner LoadTerminalDialogs(std::string& error) {
  const std::string directory = ProgramDirectory();
  // <prefix>/bin/quillon-smart finds <prefix>/lib/quillon-smart/quillon-smart-terminal.so.
  const std::string places[] = {directory + "/" QS_TERMINAL_MODULE,
                                directory + "/../" QS_PRIVATE_LIB_DIR "/" QS_TERMINAL_MODULE};
  for (const std::string& place : places) {
    if (access(place.c_str(), F_OK) != 0) continue;
    // Every symbol at once: a module that does not fit this program fails here, not in a
    // dialog.
    void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* entry = module != nullptr ? dlsym(module, kTerminalDialogEntry) : nullptr;
    if (entry == nullptr) {
      const char* reason = dlerror();
      error = reason != nullptr ? reason : place + ": no " + kTerminalDialogEntry;
      return nullptr;
    }
    return reinterpret_cast<TerminalDialogRunner>(entry);
  }
  error = std::string(QS_TERMINAL_MODULE " is neither beside the program nor in ") + directory +
          "/../" QS_PRIVATE_LIB_DIR;
  return nullptr;
}

}  // namespace qs::platform
