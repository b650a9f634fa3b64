// Entry of the settings tool: its command line to the commands, its streams to the console.
#include <iostream>
#include <string>
#include <vector>

#include "app/settings_tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qs::RunSettingsTool(args, std::cout, std::cerr);
}
