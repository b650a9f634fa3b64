// The operations running on a device handle, for closing and cancelling them.
#include "platform/common/operation_gate.h"

namespace qs::platform {

OperationGate::Pass::Pass(OperationGate& gate) : gate_(gate) {
  std::lock_guard lock(gate.mu_);
  if (gate.shut_) return;
  ++gate.inFlight_;
  generation_ = gate.generation_;
  admitted_ = true;
}

OperationGate::Pass::~Pass() {
  if (admitted_) gate_.Leave(generation_);
}

void OperationGate::Leave(std::uint64_t generation) {
  std::lock_guard lock(mu_);
  --inFlight_;
  // The last operation a cancel was meant for clears the wake-up.
  if (generation != generation_ && --stale_ == 0 && !shut_ && waker_ != nullptr) {
    waker_->Settle();
  }
  changed_.notify_all();
}

void OperationGate::Cancel() {
  std::lock_guard lock(mu_);
  ++generation_;
  stale_ = inFlight_;
  if (inFlight_ > 0 && !shut_ && waker_ != nullptr) waker_->Wake();
  changed_.notify_all();
}

bool OperationGate::Cancelled(const Pass& pass) const {
  std::lock_guard lock(mu_);
  return pass.generation() != generation_;
}

bool OperationGate::Stopped(const Pass& pass) const {
  std::lock_guard lock(mu_);
  return shut_ || pass.generation() != generation_;
}

void OperationGate::WaitOutStaleWakeUp(const Pass& pass) {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [&] { return stale_ == 0 || shut_ || pass.generation() != generation_; });
}

bool OperationGate::Shut() {
  std::lock_guard lock(mu_);
  if (shut_) return false;
  shut_ = true;
  if (waker_ != nullptr) waker_->Wake();
  changed_.notify_all();
  return true;
}

void OperationGate::WaitUntilIdle() {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [&] { return inFlight_ == 0; });
}

bool OperationGate::WaitUntilIdle(std::chrono::milliseconds limit, std::chrono::milliseconds repeat,
                                  const std::function<void()>& nudge) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(mu_);
  while (inFlight_ != 0 && std::chrono::steady_clock::now() < deadline) {
    lock.unlock();
    nudge();
    lock.lock();
    changed_.wait_for(lock, repeat, [&] { return inFlight_ == 0; });
  }
  return inFlight_ == 0;
}

}  // namespace qs::platform
