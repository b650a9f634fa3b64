// A port of the POSIX serial backend opened on a pty pair, for that backend's own tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "platform/comm.h"
#include "support/comm_port_pair_posix.h"

namespace qs::testing {

class CommPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    port = platform::SystemComm().Open(pty.path());
    ASSERT_NE(port, nullptr);
  }

  void SetReadTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{interval, multiplier, constant, 0, 0}));
  }

  Dcb State() {
    Dcb dcb{};
    EXPECT_TRUE(port->GetState(dcb));
    return dcb;
  }

  PtyPair pty;
  std::unique_ptr<CommPort> port;
};

}  // namespace qs::testing
