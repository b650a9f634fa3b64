// The console on POSIX: stderr by descriptor with a bounded wait; texts in UTF-8.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "platform/console.h"
#include "platform/posix/cp1250.h"

namespace qs::platform {
namespace {

constexpr std::chrono::milliseconds kStderrWaitLimit{1000};

// The next character of UTF-8 text at at, moving at past it; nothing for a malformed one.
std::optional<char32_t> NextUtf8(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at++]);
  if (lead < 0x80) return lead;
  int more = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
  if (more < 0 || lead >= 0xF5) return std::nullopt;
  char32_t c = lead & (0x3F >> more);
  for (; more > 0; --more) {
    if (at >= text.size()) return std::nullopt;
    const auto next = static_cast<unsigned char>(text[at++]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (next & 0x3F);
  }
  return c;
}

}  // namespace

void WriteToStandardError(std::string_view text) {
  const auto deadline = std::chrono::steady_clock::now() + kStderrWaitLimit;
  while (!text.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd wait{STDERR_FILENO, POLLOUT, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (wait.revents & POLLOUT) == 0) return;
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string SettingsTextToConsole(std::string_view bytes) {
  std::string out;
  for (const wchar_t c : Cp1250ToWide(bytes)) AppendUtf8(out, static_cast<char32_t>(c));
  return out;
}

std::optional<std::string> SettingsTextFromConsole(std::string_view text) {
  std::string bytes;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::optional<char32_t> c = NextUtf8(text, at);
    if (!c || *c > 0xFFFF) return std::nullopt;
    const std::optional<unsigned char> byte = WideToCp1250(static_cast<wchar_t>(*c));
    if (!byte) return std::nullopt;
    bytes.push_back(static_cast<char>(*byte));
  }
  return bytes;
}

}  // namespace qs::platform
