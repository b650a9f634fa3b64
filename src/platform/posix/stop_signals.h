// SIGINT and SIGTERM as a request to close the main dialog, delivered through a wake pipe.
#pragma once

namespace qs::platform {

// Installs the handlers (once, at process start) and ignores SIGPIPE, so a client that
// went away is an error code on send rather than the end of the process.
void InstallStopSignals();

// The same request from the program itself, as when Ctrl-C is read as a key from a terminal
// whose signal keys are off.
void RequestStop();

// Takes a pending stop request, if any.
bool TakeStopRequest();

// The pipe that wakes the headless loop: the signal handlers and the dialog's waker write
// to it; the loop polls its read end.
int WakeReadFd();
void WriteWake(char reason);

}  // namespace qs::platform
