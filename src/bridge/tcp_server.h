// The TCP server that takes the clients' byte streams.
#pragma once

#include "bridge/tcp_server_control.h"
#include "log/event_log.h"
#include "settings/settings_store.h"

namespace qs {

class TcpServer final : public TcpServerControl {
 public:
  TcpServer(const SettingsStore& settings, EventLog& log) : settings_(settings), log_(log) {}

  void StartTcpServer() override;
  void StopTcpServer() override;

 private:
  const SettingsStore& settings_;
  EventLog& log_;
};

}  // namespace qs
