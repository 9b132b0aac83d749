// Helpers of the tests that drive windows in-process.
#pragma once

#include <QApplication>
#include <chrono>
#include <functional>
#include <thread>

// Serves the event loop until `condition` holds or `limit` has passed.
inline bool Until(const std::function<bool()>& condition,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
