// A private network namespace with only loopback, made by the shared ns.sh,
// for tests that speak SSDP or UPnP: nothing they send can leave it.
#pragma once

#include <string>

class PrivateNetwork {
 public:
  PrivateNetwork() = default;
  ~PrivateNetwork();  // ends the namespace's holder process
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  // Makes the namespace and moves this process (and so every process it
  // starts from now on) into it. False, with the reason in *why, when that
  // cannot be done here (not root, no ns.sh).
  bool Enter(std::string* why);

 private:
  std::string script_, pidFile_;
};
