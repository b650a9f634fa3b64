// Files on Windows: appending through a C stream in binary mode, so the bytes go in as they
// stand; replacing a file through a new one moved over it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/file.h"

namespace qs::platform {

bool AppendToFile(const std::string& path, std::string_view bytes) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (!file) return false;
  const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && whole;
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
  const std::size_t slash = path.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  char temp[MAX_PATH];
  // Creates the empty file under a name of its own in the same folder.
  if (GetTempFileNameA(folder.c_str(), "qss", 0, temp) == 0) return false;
  const HANDLE file =
      CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool done = file != INVALID_HANDLE_VALUE;
  std::size_t written = 0;
  while (done && written < bytes.size()) {
    DWORD n = 0;
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1u << 20));
    done = WriteFile(file, bytes.data() + written, part, &n, nullptr) != 0 && n > 0;
    written += n;
  }
  if (file != INVALID_HANDLE_VALUE) {
    done = FlushFileBuffers(file) != 0 && done;
    done = CloseHandle(file) != 0 && done;
  }
  done = done &&
         MoveFileExA(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!done) DeleteFileA(temp);
  return done;
}

std::string WorkingDirectory() {
  const DWORD size = GetCurrentDirectoryA(0, nullptr);
  if (size == 0) return {};
  std::vector<char> buffer(size);
  const DWORD got = GetCurrentDirectoryA(size, buffer.data());
  if (got == 0 || got >= size) return {};
  return std::string(buffer.data(), got);
}

}  // namespace qs::platform
