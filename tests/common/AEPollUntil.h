// A bounded poll for a condition nothing can signal: another process's output, a
// broker's port, a counter the code under test offers no event for.
#pragma once

#include <chrono>
#include <thread>

// Checks pred every tick until it holds or limit has passed; whether it came true.
// The sleep is the honest form of this wait: there is no event to wake it earlier.
template <class P>
bool PollUntil(P pred, std::chrono::milliseconds limit, std::chrono::milliseconds tick = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(tick);
  }
  return true;
}
