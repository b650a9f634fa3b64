// The TCP server. Until its thread is in, it announces the port and serves nobody.
#include "bridge/tcp_server.h"

#include <string>

namespace qs {

void TcpServer::StartTcpServer() {
  log_.LogEvent("Serwer TCP On - Start on port " +
                std::to_string(EffectiveTcpPort(settings_.Snapshot())));
}

void TcpServer::StopTcpServer() {
  log_.LogEvent("Serwer TCP Off - Start");
}

}  // namespace qs
