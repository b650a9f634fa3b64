// Process entry on Windows: a GUI-subsystem program starts at WinMain.
#include <windows.h>

#include "platform/entry.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return qs::RunProgram();
}
