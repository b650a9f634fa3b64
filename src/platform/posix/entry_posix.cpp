// Process entry on POSIX.
#include "platform/entry.h"

int main() {
  return qs::RunProgram();
}
