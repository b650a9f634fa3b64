// The shared record: readers on other threads always see one whole record.
#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qs {
namespace {

Settings Filled(char letter, std::int32_t port) {
  Settings s{};
  std::memset(s.portName, letter, sizeof s.portName - 1);
  std::memset(s.logFilePath, letter, sizeof s.logFilePath - 1);
  s.tcpPort = port;
  return s;
}

TEST(SettingsStore, ReadersNeverSeeATornRecord) {
  SettingsStore store;
  const Settings a = Filled('a', 1111);
  const Settings b = Filled('b', 2222);
  store.Replace(a);

  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const Settings s = store.Snapshot();
        const bool isA = std::memcmp(&s, &a, sizeof s) == 0;
        const bool isB = std::memcmp(&s, &b, sizeof s) == 0;
        const std::string path = store.LogFilePath();
        const bool pathWhole = path == std::string(99, 'a') || path == std::string(99, 'b');
        if (!(isA || isB) || !pathWhole) torn.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 20000; ++i) {
    if (i % 2) {
      store.Replace(a);
    } else {
      store.Update([&](Settings& s) { s = b; });
    }
  }
  stop.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace qs
