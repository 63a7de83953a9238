// Helpers shared by the MQTT client tests: a log collector and a message collector
// that tests wait on with a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "AEMqtt.h"
#include "common/AEPollUntil.h"

class TLogSink {
 public:
  TAEMqttLogProc Proc() {
    return [this](const std::string& line) {
      std::lock_guard lock(FLock);
      FLines.push_back(line);
      FChanged.notify_all();
    };
  }
  // Waits until at least count lines contain text.
  bool WaitFor(const std::string& text, std::chrono::milliseconds limit, std::size_t count = 1) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, limit, [&] { return CountLocked(text) >= count; });
  }
  std::size_t Count(const std::string& text) {
    std::lock_guard lock(FLock);
    return CountLocked(text);
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(FLock);
    return FLines;
  }
  std::string Joined() {
    std::string all;
    for (const auto& l : Lines()) all += l + "\n";
    return all;
  }

 private:
  std::size_t CountLocked(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& l : FLines)
      if (l.find(text) != std::string::npos) ++n;
    return n;
  }
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<std::string> FLines;
};

struct TReceived {
  std::string Topic;
  TAEBytes Payload;
};

class TMessageSink {
 public:
  TAEMqttMessageProc Proc() {
    return [this](const std::string& topic, const TAEBytes& payload) {
      std::lock_guard lock(FLock);
      FMessages.push_back({topic, payload});
      FChanged.notify_all();
    };
  }
  bool WaitForCount(std::size_t n, std::chrono::milliseconds limit) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, limit, [&] { return FMessages.size() >= n; });
  }
  std::vector<TReceived> Messages() {
    std::lock_guard lock(FLock);
    return FMessages;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TReceived> FMessages;
};

// Polls Stats() until pred holds or the limit passes; the client offers no event for
// its counters, and each poll is a cheap copy under its lock.
template <class P>
bool WaitForStats(const TAEMqttClient& c, std::chrono::milliseconds limit, P pred) {
  return PollUntil([&] { return pred(c.Stats()); }, limit);
}

inline TAEBytes Bytes(std::string_view s) { return TAEBytes(s.begin(), s.end()); }

// prefix followed by the number ("n7"); appended, not prepended, which also keeps
// mingw's -Wrestrict false alarm on "x" + std::string quiet.
inline std::string Numbered(std::string_view prefix, int n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}
