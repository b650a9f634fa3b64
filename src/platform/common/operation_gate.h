// The operations running on a device handle: closing waits until none uses it any more, and
// each operation can tell whether a cancel or the close came since it began.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace qs::platform {

class OperationGate {
 public:
  // How a backend wakes the operations that wait inside the system. Called with the gate's
  // lock held, so that a wake-up and its clearing never cross.
  class Waker {
   public:
    // A cancel or the close is pending: every waiting operation has to look.
    virtual void Wake() = 0;
    // The operations a cancel was meant for have all left; later ones may wait again.
    virtual void Settle() = 0;

   protected:
    ~Waker() = default;
  };

  // One operation: admitted unless the gate is shut, counted until it goes.
  class Pass {
   public:
    explicit Pass(OperationGate& gate);
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    explicit operator bool() const { return admitted_; }
    // The cancel generation the operation began in.
    std::uint64_t generation() const { return generation_; }

   private:
    OperationGate& gate_;
    bool admitted_ = false;
    std::uint64_t generation_ = 0;
  };

  explicit OperationGate(Waker* waker = nullptr) : waker_(waker) {}
  OperationGate(const OperationGate&) = delete;
  OperationGate& operator=(const OperationGate&) = delete;

  // Cancels every operation in flight; later ones are not affected.
  void Cancel();
  // Whether a cancel came since the pass began.
  bool Cancelled(const Pass& pass) const;
  // Whether a cancel or the close came since the pass began.
  bool Stopped(const Pass& pass) const;
  // For an operation that saw a wake-up meant for older ones: waits until they have left (and
  // the wake-up is cleared), or until a cancel or the close stops this one too.
  void WaitOutStaleWakeUp(const Pass& pass);

  // Lets no operation in any more. True for the first call only: that caller owns the handle
  // from now on and releases it once the operations are out.
  bool Shut();
  // Waits until no operation is in flight.
  void WaitUntilIdle();
  // The same, at most limit, calling nudge at once and then every repeat while some run (to
  // end I/O that started after the previous nudge). False when some are still running.
  bool WaitUntilIdle(std::chrono::milliseconds limit, std::chrono::milliseconds repeat,
                     const std::function<void()>& nudge);

 private:
  void Leave(std::uint64_t generation);

  Waker* const waker_;
  mutable std::mutex mu_;
  std::condition_variable changed_;
  bool shut_ = false;
  int inFlight_ = 0;
  int stale_ = 0;  // operations in flight that a cancel has stopped
  std::uint64_t generation_ = 0;
};

}  // namespace qs::platform
