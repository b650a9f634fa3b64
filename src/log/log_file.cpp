// The log file is opened in binary and given CR LF by hand, so Linux writes what Windows does.
#include "log/log_file.h"

#include "platform/file.h"

namespace qs {

void LogFile::Append(const std::string& path, std::string_view bytes) {
  if (path.empty() || bytes.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  platform::AppendToFile(path, bytes);
}

std::string ToFileLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace qs
