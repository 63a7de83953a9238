// An in-memory transport for the session tests: records every packet the client
// writes, answers CONNECT with a scripted CONNACK and lets the test inject bytes, end
// the stream or fail a chosen write. The state is shared, so the test keeps a handle
// after the client took the transport.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AEMqttPacket.h"
#include "AEMqttTransport.h"

struct TFakeWire {
  std::mutex Lock;
  std::condition_variable Changed;
  // Script, set by the test.
  TAEBytes Connack{0x20, 0x02, 0x00, 0x00};  // reply to every CONNECT; empty: no reply
  bool AutoPubAck = true;  // answer every QoS 1 PUBLISH with its PUBACK, as a broker does
  bool FailOpen = false;
  int FailSendNumber = 0;  // the n-th Send of the whole run raises (0: never)
  std::function<void(const TAEMqttPacket&)> OnSend;  // runs outside the lock
  // Observed.
  std::vector<TAEMqttPacket> Written;  // every packet, in order, over all connections
  std::vector<std::size_t> OpenedAt;   // index into Written at each successful Open
  int Opens = 0, Closes = 0, Sends = 0, Aborts = 0;
  bool IsOpen = false;
  // Inbound.
  TAEBytes Inbound;
  bool EndStream = false;  // Receive raises once Inbound is empty

  // Waits until pred holds (under the lock) or the time is up.
  template <class P>
  bool WaitFor(std::chrono::milliseconds limit, P pred) {
    std::unique_lock lock(Lock);
    return Changed.wait_for(lock, limit, [&] { return pred(); });
  }
  void Inject(const TAEBytes& bytes) {
    std::lock_guard lock(Lock);
    Inbound.insert(Inbound.end(), bytes.begin(), bytes.end());
    Changed.notify_all();
  }
  void End() {
    std::lock_guard lock(Lock);
    EndStream = true;
    Changed.notify_all();
  }
  std::vector<TAEMqttPacket> Packets() {
    std::lock_guard lock(Lock);
    return Written;
  }
  // Packets of one type in order (3 PUBLISH, 8 SUBSCRIBE, 12 PINGREQ, 14 DISCONNECT).
  std::vector<TAEMqttPacket> OfType(std::uint8_t type) {
    std::vector<TAEMqttPacket> out;
    for (const auto& p : Packets())
      if (p.Type == type) out.push_back(p);
    return out;
  }
};

// Topic of a written PUBLISH.
inline std::string PublishTopic(const TAEMqttPacket& p) {
  const std::size_t n = static_cast<std::size_t>(p.Body[0]) * 256 + p.Body[1];
  return std::string(p.Body.begin() + 2, p.Body.begin() + 2 + static_cast<std::ptrdiff_t>(n));
}

class TFakeTransport : public IAEMqttTransport {
 public:
  explicit TFakeTransport(std::shared_ptr<TFakeWire> wire) : FWire(std::move(wire)) {}
  void Open() override {
    std::lock_guard lock(FWire->Lock);
    ++FWire->Opens;
    FWire->Inbound.clear();
    FWire->EndStream = false;
    if (FWire->FailOpen) throw EAEError("fake refuses to open");
    FWire->IsOpen = true;
    FWire->OpenedAt.push_back(FWire->Written.size());
    FWire->Changed.notify_all();
  }
  void Close() override {
    std::lock_guard lock(FWire->Lock);
    ++FWire->Closes;
    FWire->IsOpen = false;
    FWire->Changed.notify_all();
  }
  void Send(const std::vector<std::uint8_t>& data) override {
    TAEBytes copy = data;
    TAEMqttPacket p;
    if (!TryTakePacket(copy, p) || !copy.empty()) throw EAEError("fake: not exactly one packet");
    std::function<void(const TAEMqttPacket&)> hook;
    {
      std::lock_guard lock(FWire->Lock);
      if (!FWire->IsOpen) throw EAEError("fake: send while closed");
      if (++FWire->Sends == FWire->FailSendNumber) throw EAEError("fake write failure");
      hook = FWire->OnSend;
    }
    if (hook) hook(p);
    std::lock_guard lock(FWire->Lock);
    FWire->Written.push_back(p);
    if (p.Type == 1 && !FWire->Connack.empty())
      FWire->Inbound.insert(FWire->Inbound.end(), FWire->Connack.begin(), FWire->Connack.end());
    if (p.Type == 3 && (p.Flags & 0x06) != 0 && FWire->AutoPubAck) {
      const std::size_t at = 2 + (static_cast<std::size_t>(p.Body[0]) << 8 | p.Body[1]);
      const TAEBytes ack = BuildPubAck(p.Body[at], p.Body[at + 1]);
      FWire->Inbound.insert(FWire->Inbound.end(), ack.begin(), ack.end());
    }
    FWire->Changed.notify_all();
  }
  std::int32_t Receive(std::vector<std::uint8_t>& buf, std::int32_t timeoutMs) override {
    std::unique_lock lock(FWire->Lock);
    // 0 takes what is there: even a wait of 0 ms sleeps out the timer slack, which would
    // hide a caller that polls without pause.
    if (timeoutMs > 0)
      FWire->Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return !FWire->Inbound.empty() || FWire->EndStream || !FWire->IsOpen; });
    if (!FWire->IsOpen) throw EAEError("fake: receive while closed");
    if (FWire->Inbound.empty()) {
      if (FWire->EndStream) throw EAEError("Connection Closed Gracefully.");
      return 0;
    }
    const auto n = static_cast<std::int32_t>(FWire->Inbound.size());
    buf.insert(buf.end(), FWire->Inbound.begin(), FWire->Inbound.end());
    FWire->Inbound.clear();
    return n;
  }
  std::string Describe() const override { return "fake://broker"; }
  void Abort() override {  // its Open never waits, so there is nothing to end
    std::lock_guard lock(FWire->Lock);
    ++FWire->Aborts;
  }

 private:
  std::shared_ptr<TFakeWire> FWire;
};
