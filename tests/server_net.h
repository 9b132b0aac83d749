// MediaServer and the clients that talk to it, for tests that run in a
// private network namespace of their own (netns.h).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "netns.h"
#include "testing.h"

struct Output {
  int status = -1;
  std::string out, err;
};

// Runs a command under `timeout` (killed after `seconds`), its output captured.
Output Capture(std::vector<std::string> args, int seconds = 30);

// True when something accepts connections on loopback at `port`.
bool PortOpen(int port);

// Starts MediaServer from the build on loopback at `port`, with `extra`
// arguments; its error output is appended to `log`. `descriptors`, when not
// 0, is its descriptor limit (soft and hard). Does not wait for it.
pid_t StartMediaServer(int port, const fs::path& log, const std::vector<std::string>& extra = {},
                       rlim_t descriptors = 0);

// A fresh catalogue (CatalogTest) in a network namespace of the test's own;
// skipped where none can be made.
class NetworkTest : public CatalogTest {
 protected:
  void SetUp() override;

  PrivateNetwork net_;
  bool entered_ = false;
};
