// The program's body, called by each OS's entry point; returns the process exit status.
#pragma once

namespace qs {

int RunProgram();

}  // namespace qs
