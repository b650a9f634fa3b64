// The main dialog without a terminal: its list goes to stdout, its tick keeps running, and
// SIGINT/SIGTERM act as the close box.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/posix/cp1250.h"
#include "platform/posix/stdout_writer.h"
#include "platform/posix/stop_signals.h"
#include "platform/posix/ui_posix.h"
#include "platform/ui.h"

namespace qs::platform {
namespace {

using Clock = std::chrono::steady_clock;

// At the end, what still waits for stdout gets this long, so that a stop stays prompt.
constexpr std::chrono::milliseconds kFinalFlushLimit{250};

// Every line the event list receives, as one stdout line. Nobody need read it: a stalled
// reader costs it old lines, never the dialog its tick or its stop signals.
class StdoutListControl final : public ListControl {
 public:
  void ResetContent() override {}
  // The client's control bytes reach the journal, or a terminal, as text they cannot obey.
  void AddString(std::string_view line) override { out_.Add(Cp1250ToPrintableUtf8(line)); }
  void SetCurSel(int) override {}
  bool PassesEveryLineOn() const override { return true; }

  StdoutWriter& out() { return out_; }

 private:
  StdoutWriter out_{STDOUT_FILENO};
};

class HeadlessWindow final : public DialogWindow {
 public:
  ListControl& List(int) override { return list_; }
  StdoutWriter& out() { return list_.out(); }
  // The headless main dialog has no other controls to show.
  void SetText(int, std::string_view) override {}
  std::string GetText(int) override { return {}; }
  void SetChecked(int, bool) override {}
  bool IsChecked(int) override { return false; }
  void Enable(int, bool) override {}
  void ResetComboList(int) override {}
  void AddComboItem(int, std::string_view) override {}
  void StartTimer(unsigned milliseconds) override {
    interval_ = std::chrono::milliseconds(milliseconds);
    nextTick_ = Clock::now() + interval_;
    timerRunning_ = true;
  }
  void End(int result) override {
    result_ = result;
    ended_ = true;
  }
  std::function<void()> Waker() override {
    return [] { WriteWake('W'); };
  }

  bool ended() const { return ended_; }
  int result() const { return result_; }
  bool timerRunning() const { return timerRunning_; }

  // Milliseconds until the next tick is due (0 when overdue), or -1 without a timer.
  int MillisecondsToTick() const {
    if (!timerRunning_) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(nextTick_ - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left) + 1;
  }
  bool TickDue() {
    if (!timerRunning_ || Clock::now() < nextTick_) return false;
    nextTick_ += interval_;
    // After a long stall (a close that waited), tick once and go on from now.
    if (nextTick_ < Clock::now()) nextTick_ = Clock::now() + interval_;
    return true;
  }

 private:
  StdoutListControl list_;
  bool ended_ = false;
  int result_ = 0;
  bool timerRunning_ = false;
  std::chrono::milliseconds interval_{0};
  Clock::time_point nextTick_{};
};

// Empties the wake pipe; tells whether a waker wrote to it.
bool DrainWakePipe(int fd) {
  bool woken = false;
  char bytes[64];
  ssize_t got;
  while ((got = read(fd, bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < got; ++i) woken = woken || bytes[i] == 'W';
  }
  return woken;
}

}  // namespace

int RunHeadlessDialog(DialogId id, DialogHandler& handler) {
  // Only the main dialog runs without a terminal: nobody could fill in the settings.
  if (id != DialogId::kMain) return -1;

  const int wakeFd = WakeReadFd();
  HeadlessWindow window;
  handler.OnOpen(window);
  while (!window.ended()) {
    if (TakeStopRequest()) {
      handler.OnCommand(window, DialogHandler::kCancel);
      continue;
    }
    pollfd wait[2] = {{wakeFd, POLLIN, 0}, {window.out().PollFd(), POLLOUT, 0}};
    poll(wait, 2, window.MillisecondsToTick());
    if (wait[1].revents != 0) window.out().WriteReady();
    if (DrainWakePipe(wakeFd)) handler.OnWake(window);
    if (!window.ended() && window.TickDue()) handler.OnTimer(window);
  }
  window.out().Flush(kFinalFlushLimit);
  return window.result();
}

}  // namespace qs::platform
