// Starting and stopping the TCP server, as start-up, shut-down and the settings dialog do.
#pragma once

namespace qs {

class TcpServerControl {
 public:
  virtual ~TcpServerControl() = default;
  virtual void StartTcpServer() = 0;
  virtual void StopTcpServer() = 0;
};

}  // namespace qs
