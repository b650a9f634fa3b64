// Appending to a file through a C stream in binary mode, so the bytes go in as they stand.
#include <cstdio>

#include "platform/file.h"

namespace qs::platform {

bool AppendToFile(const std::string& path, std::string_view bytes) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (!file) return false;
  const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && whole;
}

}  // namespace qs::platform
