// The serial reader: reads the port, hands the data on, and notices a device that has gone.
#include "serial/serial_link_reader.h"

#include <algorithm>
#include <array>

#include "serial/port_config.h"
#include "serial/serial_link.h"

namespace qs {
namespace {

constexpr std::chrono::milliseconds kFailedReadPause{10};
// A read whose time-outs ran out on a silent line is followed by a wait for input, so that
// time-outs that end reads at once (or after a millisecond) do not wake the program again
// and again. The line is read again after each wait that saw nothing, for a device that
// cannot tell when input comes; the waits grow while the line stays silent.
constexpr std::chrono::milliseconds kFirstQuietWait{4};
constexpr std::chrono::milliseconds kLongestQuietWait{500};

}  // namespace

void SerialLink::SerialPolling(const std::shared_ptr<Reader>& reader) {
  log_.LogEvent("Serial Polling - start");
  reader->running.store(true);
  reader->Signal();

  std::array<std::uint8_t, kReadSize + 1> receiveBuffer{};
  platform::CommPort& port = *reader->port;
  std::chrono::milliseconds quietWait = kFirstQuietWait;
  while (!reader->stopping.load()) {
    const long count = port.Read(receiveBuffer.data(), kReadSize);
    if (reader->stopping.load()) break;
    if (count > 0) Forward(receiveBuffer.data(), static_cast<std::size_t>(count), port);
    if (port.Gone()) {
      // Bytes that came before the end go on first; the port is of no more use.
      deviceData_.Flush();
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
      // Reading again would only wait out the same time-outs: wait for the first byte
      // instead. A byte that comes starts the next read, whose time-outs run from there.
      if (port.WaitForInput(quietWait)) {
        quietWait = kFirstQuietWait;
      } else {
        quietWait = std::min(quietWait * 2, kLongestQuietWait);
      }
      continue;
    }
    quietWait = kFirstQuietWait;
  }

  // What was read goes to its client before the port's end is reported, and before a close
  // lets the next open answer.
  deviceData_.Flush();
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

}  // namespace qs
