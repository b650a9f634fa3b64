// The serial reader: reads the port, hands the data on, and notices a device that has gone.
#include "serial/serial_link_reader.h"

#include <array>

#include "serial/port_config.h"
#include "serial/serial_link.h"

namespace qs {
namespace {

constexpr std::chrono::milliseconds kFailedReadPause{10};
// Reads that end at once on a silent line are followed by waits for input of at most this
// long each, until a byte is there; the line is read again after kQuietReread at the latest,
// for a device that cannot tell when input comes. Under Wine a read costs about 0.15 ms of
// CPU (the program's and its server's), so reading 100 times a second would cost 1.5%.
constexpr std::chrono::milliseconds kQuietWait{10};
constexpr std::chrono::milliseconds kQuietReread{100};

}  // namespace

void SerialLink::SerialPolling(const std::shared_ptr<Reader>& reader) {
  log_.LogEvent("Serial Polling - start");
  reader->running.store(true);
  reader->Signal();

  std::array<std::uint8_t, kReadSize + 1> receiveBuffer{};
  platform::CommPort& port = *reader->port;
  while (!reader->stopping.load()) {
    const auto readStart = std::chrono::steady_clock::now();
    const long count = port.Read(receiveBuffer.data(), kReadSize);
    if (reader->stopping.load()) break;
    if (count > 0) Forward(receiveBuffer.data(), static_cast<std::size_t>(count), port);
    if (port.Gone()) {
      // Bytes that came before the end have gone on; the port is of no more use.
      log_.LogEvent("Error - port COM odlaczony");
      CloseGonePort(reader);
      break;
    }
    if (count < 0) {
      // A port that fails every read at once must not spin a core.
      reader->WaitFor(kFailedReadPause, [&] { return reader->stopping.load(); });
      continue;
    }
    if (count == 0) {
      // Time-outs that end a read at once (or nearly) on a silent line would have this loop
      // read without pause: wait for the first byte instead.
      if (std::chrono::steady_clock::now() - readStart < kQuietWait) WaitForInput(*reader);
      continue;
    }
  }

  if (!reader->quiet.load()) log_.LogEvent("Serial Polling - stop");
  if (reader->closedItself.load()) log_.LogEvent("Serial Off - stop");
  reader->running.store(false);
  reader->finished.store(true);
  reader->Signal();
}

void SerialLink::Forward(const std::uint8_t* data, std::size_t n, platform::CommPort& port) {
  if (deviceType_.load() == kAckDeviceType) {
    // Every CR from this device is acknowledged before its data goes on.
    for (std::size_t i = 0; i < n; ++i) {
      if (data[i] == kCarriageReturn) WriteByteTo(port, kAck);
    }
  }
  deviceData_.DeviceData(data, n);
}

bool SerialLink::CloseGonePort(const std::shared_ptr<Reader>& reader) {
  {
    std::lock_guard<std::mutex> lock(portMutex_);
    // A close that has taken the port already stops this reader itself.
    if (reader_ != reader) return false;
    reader_.reset();
    port_.reset();
    goneReader_ = reader;
    deviceGone_.store(true);
  }
  // The claim and the owner stay: the port is to come back to the same client.
  log_.LogEvent("Serial Off - start");
  reader->closedItself.store(true);
  reader->port->Close();
  return true;
}

void SerialLink::ReapGoneReader() {
  std::shared_ptr<Reader> reader;
  {
    std::lock_guard<std::mutex> lock(portMutex_);
    reader = std::move(goneReader_);
  }
  if (!reader) return;
  if (reader->WaitFor(readerStopWait_, [&] { return reader->finished.load(); })) {
    reader->thread.join();
  } else {
    reader->thread.detach();
    abandoned_.push_back(reader);
  }
}

void SerialLink::WaitForInput(const Reader& reader) {
  using Clock = std::chrono::steady_clock;
  const auto quietSince = Clock::now();
  while (!reader.stopping.load()) {
    const auto waitStart = Clock::now();
    if (reader.port->WaitForInput(kQuietWait)) return;
    const auto now = Clock::now();
    // A wait cut short was cancelled or failed: the next read tells which. (Timers may end
    // a little early, so only a wait of less than half its time counts as cut short.)
    if (now - waitStart < kQuietWait / 2 || now - quietSince >= kQuietReread) return;
  }
}

}  // namespace qs
