#include "AEMqtt.h"

#include <algorithm>
#include <chrono>

namespace {

// Started when the module is loaded, so that readings are small and never negative.
const auto GClockStart = std::chrono::steady_clock::now();

constexpr std::int32_t kBackoffSec[] = {1, 2, 5, 10, 30};
constexpr std::int64_t kConnackWaitMs = 10000;
constexpr std::int64_t kQuickDropMs = 10000;
constexpr std::int64_t kStableMs = 60000;
constexpr std::int32_t kDuplicateDelaySec = 60;
constexpr std::int32_t kIdleReceiveMs = 10;
constexpr std::int64_t kDisconnectDrainMs = 1000;

}  // namespace

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - GClockStart)
      .count();
}

TAEMqttClient::TAEMqttClient(std::unique_ptr<IAEMqttTransport> transport, const TAEMqttOptions& options)
    : FTransport(std::move(transport)), FOptions(options) {
  if (FOptions.KeepAliveSec == 0) FOptions.KeepAliveSec = 60;
  if (FOptions.MaxQueue <= 0) FOptions.MaxQueue = 1000;
}

TAEMqttClient::~TAEMqttClient() { Stop(); }

void TAEMqttClient::Start() {
  if (FThread.joinable()) return;
  {
    std::lock_guard lock(FLock);
    FStopping = false;
  }
  FThread = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void TAEMqttClient::Stop() {
  if (!FThread.joinable()) return;
  FThread.request_stop();
  {
    std::lock_guard lock(FLock);
    FStopping = true;
  }
  FWake.notify_all();
  FTransport->Abort();  // a connect in progress ends now, not at its time-out
  FThread.join();
  FThread = std::jthread();
}

void TAEMqttClient::Subscribe(const std::string& filter, std::uint8_t qos) {
  // A filter that can never be written would fail every connection attempt.
  if (filter.size() > kMqttMaxString) throw EAEMqttStringTooLong();
  if (const std::string problem = MqttStringProblem(filter); !problem.empty())
    throw EAEMqttUnbuildable("MQTT: a topic filter that " + problem);
  {
    std::lock_guard lock(FLock);
    FSubs.push_back(TSub{filter, static_cast<std::uint8_t>(qos > 0 ? 1 : 0)});
  }
  if (FConnected.load()) Publish(std::string(), TAEBytes(), kResubscribeQoS, false);
}

bool TAEMqttClient::Publish(const std::string& topic, TAEBytes payload, std::uint8_t qos, bool retain) {
  auto msg = std::make_shared<TOutMsg>();
  msg->Topic = topic;
  msg->Payload = std::move(payload);
  msg->QoS = qos;
  msg->Retain = retain;
  bool kept = true;
  std::lock_guard lock(FLock);
  while (FQueue.size() >= static_cast<std::size_t>(FOptions.MaxQueue)) {
    FQueue.pop_front();
    ++FStats.Dropped;
    kept = false;
  }
  msg->Seq = ++FLastSeq;
  FQueue.push_back(std::move(msg));
  return kept;
}

bool TAEMqttClient::Publish(const std::string& topic, std::string_view text, std::uint8_t qos, bool retain) {
  return Publish(topic, TAEBytes(text.begin(), text.end()), qos, retain);
}

TAEMqttStats TAEMqttClient::Stats() const {
  std::lock_guard lock(FLock);
  TAEMqttStats s = FStats;
  s.Connected = FConnected.load();
  s.Queued = static_cast<std::int32_t>(FQueue.size());
  return s;
}

void TAEMqttClient::Log(const std::string& line) {
  if (OnLog) OnLog(line);
}

void TAEMqttClient::SendPacket(const TAEBytes& packet) { FTransport->Send(packet); }

void TAEMqttClient::CloseTransport() {
  try {
    FTransport->Close();
  } catch (const std::exception&) {
    // Nothing to do about a failed close: the next Open starts afresh.
  }
}

std::vector<TAEMqttClient::TSub> TAEMqttClient::CopySubs() const {
  std::lock_guard lock(FLock);
  return FSubs;
}

void TAEMqttClient::Run(std::stop_token stop) {
  const std::int64_t keepAliveMs = static_cast<std::int64_t>(FOptions.KeepAliveSec) * 1000;
  FNextTryMs = 0;
  while (!stop.stop_requested()) {
    if (!FConnected.load()) {
      const std::int64_t waitMs = FNextTryMs - NowMs();
      if (waitMs > 0) {
        std::unique_lock lock(FLock);
        FWake.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return FStopping; });
        continue;
      }
      try {
        if (!DoConnect(stop)) break;  // stopped while waiting for CONNACK
      } catch (const std::exception& e) {
        if (stop.stop_requested()) break;  // most likely the Abort of Stop: nothing to report
        ConnectionLost("connect to " + FTransport->Describe() + " failed: " + e.what());
      }
    } else {
      RunConnectedPass(keepAliveMs);
    }
  }
  if (FConnected.load()) {
    try {
      // Only what is queued now: a publisher that never pauses must not hold up Stop.
      std::size_t pending;
      {
        std::lock_guard lock(FLock);
        pending = FQueue.size();
      }
      FlushQueue(pending);
      SendPacket(BuildDisconnect());
      DrainUntilClosed();
    } catch (const std::exception&) {
      // The broker is gone; the transport is closed below and the entry stays queued.
    }
  }
  {
    std::lock_guard lock(FLock);
    FConnected = false;
  }
  CloseTransport();
}

void TAEMqttClient::RunConnectedPass(std::int64_t keepAliveMs) {
  if (FQuickDrops > 0 && NowMs() - FConnectedAtMs > kStableMs) {
    FQuickDrops = 0;
    if (FDuplicate) {
      FDuplicate = false;
      {
        std::lock_guard lock(FLock);
        FStats.DuplicateSuspected = false;
      }
      Log("session stable again");
    }
  }
  try {
    FlushQueue(SIZE_MAX);
    if (NowMs() - FLastPingMs >= keepAliveMs / 2) {
      SendPacket(BuildPingReq());
      FLastPingMs = NowMs();
    }
    if (NowMs() - FLastRecvMs >= (3 * keepAliveMs) / 2) throw EAEError("broker silent past the keepalive");
    bool queueEmpty;
    {
      std::lock_guard lock(FLock);
      queueEmpty = FQueue.empty();
    }
    // A Publish cannot wake a wait inside the transport, so an idle pass waits only
    // briefly: a message queued meanwhile goes out within about 10 ms, at the cost of
    // about 100 cheap passes a second. Entries that came in during the flush go out
    // at once.
    PumpIncoming(queueEmpty ? kIdleReceiveMs : 0);
  } catch (const std::exception& e) {
    ConnectionLost(std::string("connection lost: ") + e.what());
  }
}

bool TAEMqttClient::DoConnect(std::stop_token stop) {
  FIn.clear();
  FInHead = 0;
  FTransport->Open();
  SendPacket(BuildConnect(FOptions));
  const std::int64_t deadline = NowMs() + kConnackWaitMs;
  TAEMqttPacket packet;
  while (!TryTakePacket(FIn, FInHead, packet)) {
    if (stop.stop_requested()) return false;
    if (NowMs() > deadline) throw EAEError("no CONNACK within 10 s");
    if (FTransport->Receive(FIn, 200) > 0) FLastRecvMs = NowMs();
  }
  if (packet.Type != kMqttConnack)
    throw EAEError("expected CONNACK, got packet type " + std::to_string(packet.Type));
  const TAEConnackResult ack = ParseConnack(packet.Body);
  if (ack.Empty) throw EAEError("broker refused the connection: its CONNACK was empty, without a return code");
  if (!ack.Accepted) {
    if (ack.Code == 4) throw EAEError("broker refused: bad user name or password");
    if (ack.Code == 5) throw EAEError("broker refused: not authorised");
    throw EAEError("broker refused the connection (code " + std::to_string(ack.Code) + ")");
  }
  std::vector<TSub> subs;
  {
    std::lock_guard lock(FLock);
    FConnected = true;
    subs = FSubs;
  }
  FBackoff = 0;
  FConnectedAtMs = FLastPingMs = FLastRecvMs = NowMs();
  Log("connected to " + FTransport->Describe());
  for (const TSub& sub : subs) SendSubscribe(sub);
  if (OnConnected) OnConnected();
  return true;
}

void TAEMqttClient::ConnectionLost(const std::string& reason) {
  bool wasConnected;
  {
    std::lock_guard lock(FLock);
    wasConnected = FConnected.load();
    if (wasConnected) ++FStats.Reconnects;
    FConnected = false;
    FStats.LastError = reason;
  }
  CloseTransport();
  FIn.clear();
  FInHead = 0;
  if (wasConnected) {
    if (NowMs() - FConnectedAtMs < kQuickDropMs)
      ++FQuickDrops;
    else
      FQuickDrops = 0;
  }
  std::int32_t delay = kBackoffSec[std::min(FBackoff, 4)];
  if (FQuickDrops > 2) {
    delay = kDuplicateDelaySec;
    if (!FDuplicate)
      Log("the session is replaced right after connecting: is another agent running with the login \"" +
          FOptions.User + "\"? Each agent needs its own login.");
    FDuplicate = true;
  }
  {
    std::lock_guard lock(FLock);
    FStats.DuplicateSuspected = FDuplicate;
  }
  FNextTryMs = NowMs() + static_cast<std::int64_t>(delay) * 1000;
  Log(reason + "; next attempt in " + std::to_string(delay) + " s");
  ++FBackoff;
}

void TAEMqttClient::DrainUntilClosed() {
  // Closing a socket with unread bytes (the PUBACKs of the last QoS 1 messages) resets
  // the connection, and the broker may then drop the end of the flush together with the
  // DISCONNECT and publish the will. The broker closes its side on DISCONNECT; Receive
  // raises then.
  TAEBytes ignored;
  const std::int64_t deadline = NowMs() + kDisconnectDrainMs;
  for (std::int64_t left = kDisconnectDrainMs; left > 0; left = deadline - NowMs()) {
    ignored.clear();
    FTransport->Receive(ignored, static_cast<std::int32_t>(left));
  }
}

bool TAEMqttClient::RemoveHeadIf(std::uint64_t seq) {
  if (FQueue.empty() || FQueue.front()->Seq != seq) return false;
  FQueue.pop_front();
  return true;
}

void TAEMqttClient::ForgetSent(const TOutMsg& sent) {
  // A Publish on a full queue may have dropped this very entry while it was being
  // written; then the head is an entry never sent, and it stays.
  RemoveHeadIf(sent.Seq);
  if (sent.QoS != kResubscribeQoS) ++FStats.Sent;
}

void TAEMqttClient::FlushQueue(std::size_t maxEntries) {
  std::shared_ptr<TOutMsg> sent;  // written, not yet taken off the queue
  for (std::size_t done = 0;; ++done) {
    std::shared_ptr<TOutMsg> head;
    {
      // One locked section per entry: forget the one just written, take the next.
      std::lock_guard lock(FLock);
      if (sent) ForgetSent(*sent);
      sent.reset();
      if (done >= maxEntries || FQueue.empty()) return;
      head = FQueue.front();
    }
    if (head->QoS == kResubscribeQoS) {
      for (const TSub& sub : CopySubs()) SendSubscribe(sub);
    } else if (const std::string problem = PublishProblem(head->Topic, head->Payload.size()); !problem.empty()) {
      // Such an entry fails the same way in every session: drop it rather than lose
      // the connection over it again and again.
      {
        std::lock_guard lock(FLock);
        if (RemoveHeadIf(head->Seq)) ++FStats.Dropped;
      }
      Log("dropped a message whose " + problem);
      continue;
    } else {
      const std::uint16_t id = head->QoS > 0 ? NextPacketId(FPacketId) : 0;
      SendPacket(BuildPublish(head->Topic, head->Payload, head->QoS, head->Retain, id));
    }
    sent = std::move(head);
  }
}

void TAEMqttClient::SendSubscribe(const TSub& sub) {
  SendPacket(BuildSubscribe(NextPacketId(FPacketId), sub.Filter, sub.QoS));
}

void TAEMqttClient::PumpIncoming(std::int32_t timeoutMs) {
  if (FInHead > 0) {  // drop what was taken before, once per read rather than per packet
    FIn.erase(FIn.begin(), FIn.begin() + static_cast<std::ptrdiff_t>(FInHead));
    FInHead = 0;
  }
  if (FTransport->Receive(FIn, timeoutMs) > 0) FLastRecvMs = NowMs();
  TAEMqttPacket packet;
  while (TryTakePacket(FIn, FInHead, packet)) HandlePacket(packet);
}

void TAEMqttClient::HandlePacket(const TAEMqttPacket& packet) {
  if (packet.Type == kMqttPublish) {
    TAEIncomingPublish msg;
    if (!ParseIncomingPublish(packet.Flags, packet.Body, msg)) return;
    if (msg.HasPacketId) SendPacket(BuildPubAck(msg.IdHigh, msg.IdLow));
    {
      std::lock_guard lock(FLock);
      ++FStats.Received;
    }
    if (OnMessage) OnMessage(msg.Topic, msg.Payload);
  } else if (packet.Type == kMqttSuback && IsSubackRefusal(packet.Body)) {
    Log("subscription refused by the broker (check the ACL)");
  }
}
