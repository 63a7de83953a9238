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
constexpr std::size_t kFlushSlice = 256;
constexpr std::int64_t kDisconnectDrainMs = 1000;
// Of that second, what the wait for the broker's close keeps when PUBACKs took the rest.
constexpr std::int64_t kMinDrainMs = 250;
// A Stop that lands while CONNACK is awaited: how long the broker still has to answer.
constexpr std::int64_t kStopConnackGraceMs = 300;
// Short enough that a Stop is seen at once, while no CONNACK has come.
constexpr std::int32_t kConnackSliceMs = 50;
constexpr std::uint32_t kDefaultMaxIncomingLength = 1 << 20;
constexpr std::uint8_t kPublishDupFlag = 0x08;
constexpr std::size_t kPacketIds = 65535;  // 1 ... 65535

}  // namespace

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - GClockStart)
      .count();
}

TAEMqttClient::TAEMqttClient(std::unique_ptr<IAEMqttTransport> transport, const TAEMqttOptions& options)
    : FTransport(std::move(transport)), FOptions(options) {
  if (FOptions.KeepAliveSec == 0) FOptions.KeepAliveSec = 60;
  if (FOptions.MaxQueue <= 0) FOptions.MaxQueue = 1000;
  if (FOptions.MaxIncomingLength == 0) FOptions.MaxIncomingLength = kDefaultMaxIncomingLength;
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
  // The thread may have closed the transport before the Abort came: Close clears it,
  // so that the next Start's first attempt is not cancelled.
  CloseTransport();
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
  if (FConnected.load()) {
    auto msg = std::make_shared<TOutMsg>();
    msg->Kind = TOutMsg::TKind::Resubscribe;
    Enqueue(std::move(msg));
  }
}

bool TAEMqttClient::Publish(const std::string& topic, TAEBytes payload, std::uint8_t qos, bool retain) {
  if (qos > 1)
    throw EAEError("MQTT: Publish with QoS " + std::to_string(qos) + ": the client sends QoS 0 or 1 only");
  auto msg = std::make_shared<TOutMsg>();
  msg->Topic = topic;
  msg->Payload = std::move(payload);
  msg->QoS = qos;
  msg->Retain = retain;
  return Enqueue(std::move(msg));
}

bool TAEMqttClient::Enqueue(std::shared_ptr<TOutMsg> msg) {
  bool kept = true;
  std::lock_guard lock(FLock);
  while (QueuedLocked() >= static_cast<std::size_t>(FOptions.MaxQueue)) {
    // The oldest is in flight when any is. Its identifier stays taken until its PUBACK.
    if (!FInFlight.empty())
      FInFlight.pop_front();
    else
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
  s.Queued = static_cast<std::int32_t>(QueuedLocked());
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
      FinishSession();
    } catch (const std::exception&) {
      // The broker is gone; the transport is closed below and the entry stays queued.
    }
  }
  {
    std::lock_guard lock(FLock);
    FConnected = false;
  }
  EndSession();
  CloseTransport();
}

void TAEMqttClient::FinishSession() {
  // Only what is queued now: a publisher that never pauses must not hold up Stop.
  std::size_t pending;
  {
    std::lock_guard lock(FLock);
    pending = FQueue.size();
  }
  // The PUBACKs are awaited so that what the broker took counts as sent and leaves the
  // queue; the broker keeps its order, so DISCONNECT could follow at once otherwise.
  // They and the broker's close share one second, so that a silent broker costs no more.
  const std::int64_t deadline = NowMs() + kDisconnectDrainMs;
  for (;;) {
    pending -= std::min(pending, FlushQueue(pending));
    bool acked;
    {
      std::lock_guard lock(FLock);
      acked = FInFlight.empty();
    }
    if ((pending == 0 && acked) || NowMs() >= deadline) break;
    PumpIncoming(kIdleReceiveMs);
  }
  SendPacket(BuildDisconnect());
  DrainUntilClosed(std::max(deadline, NowMs() + kMinDrainMs));
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
    // A long queue goes out in slices with reads between them: the PUBACKs of its QoS 1
    // messages are taken while it is being sent, so that they do not fill the queue.
    FlushQueue(kFlushSlice);
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
    // A head that waits for free identifiers waits for an acknowledgement: nothing to hurry for.
    if (FWaitingForIds) queueEmpty = true;
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
  ClearReceiveBuffer();
  FTransport->Open();
  SendPacket(BuildConnect(FOptions));
  std::int64_t deadline = NowMs() + kConnackWaitMs;
  bool stopping = false;
  TAEMqttPacket packet;
  while (!TryTakePacket(FIn, FInHead, packet)) {
    if (!stopping && stop.stop_requested()) {
      // The broker has the CONNECT: let it answer, so that the stop can still end the
      // session cleanly (the queue sent, the will discarded) instead of firing the will.
      stopping = true;
      deadline = std::min(deadline, NowMs() + kStopConnackGraceMs);
    }
    const std::int64_t left = deadline - NowMs();
    if (left < 0) {
      if (stopping) return false;
      throw EAEError("no CONNACK within 10 s");
    }
    if (FTransport->Receive(FIn, static_cast<std::int32_t>(std::min<std::int64_t>(left, kConnackSliceMs))) > 0)
      FLastRecvMs = NowMs();
    CheckIncomingLength();
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
  // A session that is being stopped is not announced: whatever OnConnected queued
  // would land behind the last words of the owner.
  {
    std::lock_guard lock(FLock);
    stopping = FStopping;
  }
  if (OnConnected && !stopping) OnConnected();
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
  EndSession();
  CloseTransport();
  ClearReceiveBuffer();
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

void TAEMqttClient::DrainUntilClosed(std::int64_t deadline) {
  // Closing a socket with unread bytes (the PUBACKs of the last QoS 1 messages) resets
  // the connection, and the broker may then drop the end of the flush together with the
  // DISCONNECT and publish the will. The broker closes its side on DISCONNECT; Receive
  // raises then.
  for (std::int64_t left = deadline - NowMs(); left > 0; left = deadline - NowMs())
    PumpIncoming(static_cast<std::int32_t>(left), true);
}

bool TAEMqttClient::RemoveHeadIf(std::uint64_t seq) {
  if (FQueue.empty() || FQueue.front()->Seq != seq) return false;
  FQueue.pop_front();
  return true;
}

void TAEMqttClient::ForgetSent(std::shared_ptr<TOutMsg> sent, std::uint16_t id) {
  // A Publish on a full queue may have dropped this very entry while it was being
  // written; then the head is an entry never sent, and it stays.
  const bool stillQueued = RemoveHeadIf(sent->Seq);
  if (sent->Kind == TOutMsg::TKind::Resubscribe) return;
  // Dropped meanwhile: counted there already, and only there.
  if (!stillQueued) return;
  if (sent->QoS == 0) {
    ++FStats.Sent;
  } else {
    // Counts as sent at its PUBACK. Only this thread reads an entry once it is queued.
    sent->PacketId = id;
    FInFlight.push_back(std::move(sent));
  }
}

bool TAEMqttClient::TakePacketId(std::uint16_t& id, TIdUse use) {
  if (FIdsInUse >= kPacketIds) return false;
  do {
    NextPacketId(FPacketId);
  } while (FIdUse[FPacketId] != TIdUse::Free);
  FIdUse[FPacketId] = use;
  ++FIdsInUse;
  id = FPacketId;
  return true;
}

bool TAEMqttClient::ReleasePacketId(std::uint16_t id, TIdUse use) {
  // A SUBACK answers a SUBSCRIBE, a PUBACK a PUBLISH: one that matches nothing of its
  // kind is no acknowledgement of ours and changes nothing.
  if (id == 0 || FIdUse[id] != use) return false;
  FIdUse[id] = TIdUse::Free;
  --FIdsInUse;
  return true;
}

void TAEMqttClient::HandlePubAck(std::span<const std::uint8_t> body) {
  if (body.size() < 2) return;
  const std::uint16_t id = ReadWordBE(body, 0);
  if (!ReleasePacketId(id, TIdUse::Publish)) return;
  std::lock_guard lock(FLock);
  // Acknowledgements come in the order of sending, so the entry is nearly always first;
  // one dropped by the queue limit meanwhile is not found and not counted.
  for (auto it = FInFlight.begin(); it != FInFlight.end(); ++it) {
    if ((*it)->PacketId != id) continue;
    FInFlight.erase(it);
    ++FStats.Sent;
    return;
  }
}

void TAEMqttClient::EndSession() {
  std::fill(FIdUse.begin(), FIdUse.end(), TIdUse::Free);
  FIdsInUse = 0;
  FWaitingForIds = false;
  std::lock_guard lock(FLock);
  // Unacknowledged entries go out again first, in their order. A clean session starts
  // the broker afresh, so they are new packets there; a kept one expects them again
  // under their identifiers, marked as re-sent.
  while (!FInFlight.empty()) {
    std::shared_ptr<TOutMsg> msg = std::move(FInFlight.back());
    FInFlight.pop_back();
    msg->Dup = !FOptions.CleanSession;
    if (FOptions.CleanSession) msg->PacketId = 0;
    FQueue.push_front(std::move(msg));
  }
  // Rebuilt from what is queued, so that an entry the limit dropped gives its identifier back.
  for (const auto& msg : FQueue) {
    if (msg->PacketId == 0 || FIdUse[msg->PacketId] != TIdUse::Free) continue;
    FIdUse[msg->PacketId] = TIdUse::Publish;
    ++FIdsInUse;
  }
}

void TAEMqttClient::CheckIncomingLength() const {
  std::uint32_t length;
  std::size_t lenBytes;
  if (!PeekRemainingLength(FIn, FInHead, length, lenBytes) || length <= FOptions.MaxIncomingLength) return;
  throw EAEProtocolError("the broker announced a packet of " + std::to_string(length) +
                         " bytes, more than the " + std::to_string(FOptions.MaxIncomingLength) + " accepted");
}

void TAEMqttClient::ClearReceiveBuffer() {
  // Also gives back the memory that a large packet took.
  TAEBytes().swap(FIn);
  FInHead = 0;
}

std::size_t TAEMqttClient::FlushQueue(std::size_t maxEntries) {
  std::shared_ptr<TOutMsg> sent;  // written, not yet taken off the queue
  std::uint16_t sentId = 0;
  FWaitingForIds = false;
  for (std::size_t done = 0;; ++done) {
    std::shared_ptr<TOutMsg> head;
    {
      // One locked section per entry: forget the one just written, take the next.
      std::lock_guard lock(FLock);
      if (sent) ForgetSent(std::move(sent), sentId);
      sent.reset();
      if (done >= maxEntries || FQueue.empty()) return done;
      head = FQueue.front();
    }
    sentId = 0;
    if (head->Kind == TOutMsg::TKind::Resubscribe) {
      const std::vector<TSub> subs = CopySubs();
      if (kPacketIds - FIdsInUse < subs.size()) {  // waits for acknowledgements
        FWaitingForIds = true;
        return done;
      }
      for (const TSub& sub : subs) SendSubscribe(sub);
    } else if (const std::string problem = PublishProblem(head->Topic, head->Payload.size(), head->QoS);
               !problem.empty()) {
      // Such an entry fails the same way in every session: drop it rather than lose
      // the connection over it again and again.
      {
        std::lock_guard lock(FLock);
        if (RemoveHeadIf(head->Seq)) ++FStats.Dropped;
      }
      Log("dropped a message whose " + problem);
      continue;
    } else {
      // Without a free identifier the entry waits, and what follows it, for a PUBACK. A
      // re-send into a kept session has its identifier already.
      if (head->QoS > 0) {
        if (head->PacketId != 0) {
          sentId = head->PacketId;
        } else if (!TakePacketId(sentId, TIdUse::Publish)) {
          FWaitingForIds = true;
          return done;
        }
      }
      TAEBytes packet = BuildPublish(head->Topic, head->Payload, head->QoS, head->Retain, sentId);
      if (head->Dup && head->QoS > 0) packet[0] |= kPublishDupFlag;
      SendPacket(packet);
    }
    sent = std::move(head);
  }
}

void TAEMqttClient::SendSubscribe(const TSub& sub) {
  std::uint16_t id;
  if (!TakePacketId(id, TIdUse::Subscribe)) throw EAEError("MQTT: no packet identifier free for SUBSCRIBE");
  SendPacket(BuildSubscribe(id, sub.Filter, sub.QoS));
}

void TAEMqttClient::PumpIncoming(std::int32_t timeoutMs, bool afterDisconnect) {
  if (FInHead > 0) {  // drop what was taken before, once per read rather than per packet
    FIn.erase(FIn.begin(), FIn.begin() + static_cast<std::ptrdiff_t>(FInHead));
    FInHead = 0;
  }
  if (FTransport->Receive(FIn, timeoutMs) > 0) FLastRecvMs = NowMs();
  TAEMqttPacket packet;
  for (;;) {
    CheckIncomingLength();
    if (!TryTakePacket(FIn, FInHead, packet)) break;
    HandlePacket(packet, afterDisconnect);
  }
}

void TAEMqttClient::HandlePacket(const TAEMqttPacket& packet, bool afterDisconnect) {
  if (packet.Type == kMqttPublish) {
    if (afterDisconnect) return;  // it could not be acknowledged
    TAEIncomingPublish msg;
    if (!ParseIncomingPublish(packet.Flags, packet.Body, msg)) return;
    if (msg.HasPacketId) SendPacket(BuildPubAck(msg.IdHigh, msg.IdLow));
    {
      std::lock_guard lock(FLock);
      ++FStats.Received;
    }
    if (OnMessage) OnMessage(msg.Topic, msg.Payload);
  } else if (packet.Type == kMqttPuback) {
    HandlePubAck(packet.Body);
  } else if (packet.Type == kMqttSuback) {
    if (packet.Body.size() >= 2) ReleasePacketId(ReadWordBE(packet.Body, 0), TIdUse::Subscribe);
    if (IsSubackRefusal(packet.Body)) Log("subscription refused by the broker (check the ACL)");
  }
}
