// The TCP server: one thread serves up to five clients from one readiness wait.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "bridge/client_demux.h"
#include "bridge/client_slot.h"
#include "bridge/tcp_server_control.h"
#include "log/event_log.h"
#include "platform/net.h"
#include "settings/settings_store.h"

namespace qs {

using ClientSlots = std::array<ClientSlot, kClientSlotCount>;

// What the thread of the last start made of its port.
enum class ListenOutcome {
  kPending,    // not known yet (or no start so far)
  kListening,  // the port is open for clients
  kFailed,     // nothing listens: the port was taken or invalid, or no thread ran
};

class TcpServer final : public TcpServerControl {
 public:
  static constexpr int kBacklog = 5;
  static constexpr std::size_t kChunkSize = 1023;
  static constexpr std::chrono::milliseconds kWaitLimit{2000};
  static constexpr std::chrono::milliseconds kWaitFailurePause{1000};
  // After a failed accept (no descriptors left, say) the pending connection waits this long,
  // so the listener does not wake the loop again and again; connected clients go on.
  static constexpr std::chrono::milliseconds kAcceptPause{500};
  // How often Stop interrupts the chunk in progress again while it waits for the thread.
  static constexpr std::chrono::milliseconds kStopRepeat{10};
  static constexpr std::chrono::milliseconds kStartLineWait{1000};
  // How long the traffic text of chunks may wait for the log file while clients keep
  // sending: one open and write for many chunks, none between a request and its answer.
  static constexpr std::chrono::milliseconds kTrafficHold{100};

  // The slots outlive the server: the port's owner may still designate one after a stop.
  TcpServer(const SettingsStore& settings, EventLog& log, platform::SocketApi& sockets,
            ClientSlots& slots, ClientDemux& demux)
      : settings_(settings), log_(log), sockets_(sockets), slots_(slots), demux_(demux) {}
  ~TcpServer() override { Stop(); }
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Logs the port and starts the thread; returns at once. A failure of the thread's
  // set-up (port in use, say) is not reported here.
  void StartTcpServer() override;
  // Wakes the thread, which finishes the chunk it is on and ends; returns once it has
  // ended, every socket is closed and the port is free.
  void StopTcpServer() override;

  // Waits up to limit for the last start's thread to know whether it listens, and tells;
  // kPending when the thread ended without knowing or the limit passed. A failure is known
  // once its error line was logged.
  ListenOutcome WaitForListenOutcome(std::chrono::milliseconds limit);

 private:
  void SetListenOutcome(ListenOutcome outcome);
  void TcpServerThread();
  void Run();
  void LogSetUpError(const std::string& text);
  void Serve(platform::SocketHandle listener, platform::SocketWaker* waker);
  // False when accepting failed and the listener should rest.
  bool AcceptClient(platform::SocketHandle listener);
  // False when the server is to stop (checked after each chunk).
  bool ReadClient(ClientSlot& slot);
  // Writes the traffic text held once it has waited kTrafficHold; else shortens the wait's
  // limit to when it is due.
  void WriteDueTraffic(std::chrono::milliseconds& limit);
  bool Stop();
  // Asks the running server thread to end; false when none runs.
  bool RequestStop();
  // Waits for the asked thread to end (interrupting data writes meanwhile) and joins it.
  bool WaitUntilStopped();
  bool StopRequested() const { return stopRequested_.load(); }

  const SettingsStore& settings_;
  EventLog& log_;
  platform::SocketApi& sockets_;
  ClientSlots& slots_;
  ClientDemux& demux_;

  enum class ThreadState { kNotStarted, kRunning, kStopped };
  ThreadState tcpServerThread_ = ThreadState::kNotStarted;  // the user-interface thread's
  std::thread thread_;
  std::atomic<bool> stopRequested_{false};
  // Since when the log holds traffic text for the file (the server thread's).
  std::optional<std::chrono::steady_clock::time_point> trafficHeldSince_;
  bool threadEnded_ = false;  // under wakeMutex_
  bool startLogged_ = false;  // under wakeMutex_: Start has logged its closing line
  ListenOutcome listenOutcome_ = ListenOutcome::kPending;  // under wakeMutex_
  std::mutex wakeMutex_;
  std::condition_variable changed_;
  platform::SocketWaker* waker_ = nullptr;  // under wakeMutex_; the thread owns it
  std::array<std::uint8_t, kChunkSize + 1> receiveBuffer_{};
};

}  // namespace qs
