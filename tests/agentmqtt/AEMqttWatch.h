// A watcher on the node's topics: every PUBLISH the broker delivers, with its flags, in
// arrival order, and waits for one with a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/AEMosquitto.h"
#include "mqtt/AERawSubscriber.h"

// The logins of the tests' broker: the node's and the watchers'.
inline std::unique_ptr<TAEMosquitto> StartNodeBroker() {
  auto broker = std::make_unique<TAEMosquitto>(
      std::vector<std::pair<std::string, std::string>>{{"agent12", "pw-agent12"}, {"watcher", "pw-watcher"}});
  broker->Start();
  return broker;
}

class TMqttWatch {
 public:
  TMqttWatch(const TAEMosquitto& broker, const std::string& clientId, const std::string& filter = "kivu/agent12/#")
      : FSub(broker.Host(), broker.Port(), "watcher", "pw-watcher", clientId, filter) {}
  // The same on any broker that lets the watcher's login in.
  TMqttWatch(const std::string& host, std::uint16_t port, const std::string& clientId,
             const std::string& filter = "kivu/agent12/#")
      : FSub(host, port, "watcher", "pw-watcher", clientId, filter) {}

  // Collects until pred holds for a message just received (true) or the limit passes.
  bool CollectUntil(std::chrono::milliseconds limit, const std::function<bool(const TRawPublish&)>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      auto m = FSub.NextPublish(left);
      if (!m) return false;
      Got.push_back(*m);
      if (pred(Got.back())) return true;
    }
  }
  bool CollectUntilStatus(const std::string& text, std::chrono::milliseconds limit) {
    return CollectUntil(limit, [&](const TRawPublish& m) { return IsStatus(m, text); });
  }
  // Collects whatever arrives within the limit.
  void CollectFor(std::chrono::milliseconds limit) {
    CollectUntil(limit, [](const TRawPublish&) { return false; });
  }
  static bool IsStatus(const TRawPublish& m, const std::string& text) {
    return m.Topic == "kivu/agent12/status" && std::string(m.Payload.begin(), m.Payload.end()) == text;
  }

  std::vector<TRawPublish> Got;

 private:
  TRawSubscriber FSub;
};
