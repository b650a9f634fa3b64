// The port under test and its far end, for the serial-port tests both builds share.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#ifdef _WIN32
#include "support/comm_port_pair_win32.h"
#else
#include "support/comm_port_pair_posix.h"
#endif

namespace qs::testing {

// The port under test, opened through SystemComm(), and the pair it belongs to.
class CommContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pair.ok());
    port = platform::SystemComm().Open(pair.path());
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(pair.Prepare(*port));
  }

  void SetReadTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
    ASSERT_TRUE(testing::SetReadTimeouts(*port, interval, multiplier, constant));
  }

  Dcb State() {
    Dcb dcb{};
    EXPECT_TRUE(port->GetState(dcb));
    return dcb;
  }

  CommPortPair pair;
  std::unique_ptr<CommPort> port;
};

}  // namespace qs::testing
