// The modelled UART: a clock per line that each character written moves on by its time.
#include "platform/posix/comm_posix_uart_model.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/posix/comm_posix_syscalls.h"

namespace qs::platform::posix {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBitsPerCharacter = 10;  // start, 8 data, stop
constexpr int kLongGapCharacters = 3;

struct Line {
  int fd = -1;
  Clock::duration charTime{};
  Clock::time_point busyUntil{};  // when the last character written leaves the wire
  bool running = false;           // a character has gone since the counts were reset
};

struct Model {
  std::mutex mu;
  Syscalls under{};  // the calls the model was put over
  bool installed = false;
  std::size_t fifo = 0;
  std::vector<Line> lines;
  UartModelCounts counts;
};

// Never destroyed: the lock files' exit handler may still make calls through the table.
Model& TheModel() {
  static Model* model = new Model;
  return *model;
}

Line* Find(Model& model, int fd) {
  for (Line& line : model.lines) {
    if (line.fd == fd) return &line;
  }
  return nullptr;
}

// Characters not yet wholly on the wire, the one going out included.
long Unsent(const Line& line, Clock::time_point now) {
  if (line.charTime <= Clock::duration::zero() || line.busyUntil <= now) return 0;
  return static_cast<long>((line.busyUntil - now + line.charTime - Clock::duration(1)) /
                           line.charTime);
}

void Send(Model& model, Line& line, std::size_t count) {
  if (line.charTime <= Clock::duration::zero()) return;
  const auto now = Clock::now();
  if (line.busyUntil < now) {
    if (line.running) {
      const auto gap = now - line.busyUntil;
      model.counts.idle += std::chrono::duration_cast<std::chrono::nanoseconds>(gap);
      if (gap > line.charTime * kLongGapCharacters) ++model.counts.longGaps;
    }
    line.busyUntil = now;
  }
  line.busyUntil += line.charTime * static_cast<long>(count);
  line.running = true;
  model.counts.characters += count;
}

ssize_t ModelWrite(int fd, const void* buffer, std::size_t size) {
  Model& model = TheModel();
  const ssize_t n = model.under.write(fd, buffer, size);
  if (n > 0) {
    std::lock_guard lock(model.mu);
    if (Line* line = Find(model, fd)) Send(model, *line, static_cast<std::size_t>(n));
  }
  return n;
}

int ModelIoctl(int fd, unsigned long request, void* argument) {
  Model& model = TheModel();
  if (request == TIOCOUTQ) {
    std::lock_guard lock(model.mu);
    if (const Line* line = Find(model, fd)) {
      const long waiting = Unsent(*line, Clock::now()) - static_cast<long>(model.fifo);
      *static_cast<int*>(argument) = static_cast<int>(std::max(waiting, 0L));
      return 0;
    }
  }
  const int result = model.under.ioctl(fd, request, argument);
  if (result != 0) return result;
  std::lock_guard lock(model.mu);
  if (request == TCSETS2 || request == TCSETSW2 || request == TCSETSF2) {
    const speed_t baud = static_cast<const termios2*>(argument)->c_ospeed;
    Line* line = Find(model, fd);
    if (line == nullptr) line = &model.lines.emplace_back(Line{fd});
    line->charTime = baud == 0 ? Clock::duration::zero()
                               : Clock::duration(std::chrono::nanoseconds(
                                     std::int64_t{kBitsPerCharacter} * 1'000'000'000 / baud));
  } else if (request == TCFLSH) {
    const auto which = reinterpret_cast<std::uintptr_t>(argument);
    Line* line = Find(model, fd);
    if (line != nullptr &&
        (which == std::uintptr_t{TCOFLUSH} || which == std::uintptr_t{TCIOFLUSH})) {
      const auto now = Clock::now();
      line->busyUntil =
          std::min(line->busyUntil, now + line->charTime * static_cast<long>(model.fifo));
    }
  }
  return result;
}

int ModelClose(int fd) {
  Model& model = TheModel();
  {
    std::lock_guard lock(model.mu);
    std::erase_if(model.lines, [fd](const Line& line) { return line.fd == fd; });
  }
  return model.under.close(fd);
}

}  // namespace

void InstallUartModel(std::size_t fifoBytes) {
  Model& model = TheModel();
  std::lock_guard lock(model.mu);
  Syscalls& table = Sys();
  if (table.write != ModelWrite) model.under = table;  // never over itself
  model.installed = true;
  model.fifo = fifoBytes;
  model.lines.clear();
  model.counts = {};
  table.write = ModelWrite;
  table.ioctl = ModelIoctl;
  table.close = ModelClose;
}

void RemoveUartModel() {
  Model& model = TheModel();
  std::lock_guard lock(model.mu);
  if (!model.installed) return;
  Syscalls& table = Sys();
  table.write = model.under.write;
  table.ioctl = model.under.ioctl;
  table.close = model.under.close;
  model.installed = false;
  model.lines.clear();
}

UartModelCounts UartModelStatistics() {
  Model& model = TheModel();
  std::lock_guard lock(model.mu);
  return model.counts;
}

std::chrono::nanoseconds UartModelIdleFor(int fd) {
  Model& model = TheModel();
  std::lock_guard lock(model.mu);
  const Line* line = Find(model, fd);
  const auto now = Clock::now();
  if (line == nullptr || !line->running || line->busyUntil >= now) return {};
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now - line->busyUntil);
}

void ResetUartModelStatistics() {
  Model& model = TheModel();
  std::lock_guard lock(model.mu);
  model.counts = {};
  for (Line& line : model.lines) line.running = false;
}

}  // namespace qs::platform::posix
