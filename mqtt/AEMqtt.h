// The system's MQTT 3.1.1 client: one object with its own thread that connects,
// reconnects with a growing back-off, keeps the session alive, sends a bounded queue
// in order and notices a login that another client keeps taking over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "AEMqttOptions.h"
#include "AEMqttPacket.h"
#include "AEMqttTransport.h"

// Every published message is counted once, when it leaves the client: in Sent when it
// leaves because the broker has it (QoS 0: written; QoS 1: its PUBACK came), in Dropped
// when the client discards it (the queue limit, or a PUBLISH that cannot be built). The
// queue limit discards the oldest entry even while it is being written or awaits its
// PUBACK; that entry counts as Dropped, also if the broker turns out to have it. So
// Sent + Dropped + Queued equals the messages published. Re-subscription entries (a
// Subscribe while connected) count in Queued and Dropped like messages, never in Sent,
// and leave the queue uncounted once written.
struct TAEMqttStats {
  bool Connected = false;      // a CONNACK was accepted and the session is up
  std::int64_t Sent = 0;       // QoS 0 PUBLISH packets written, QoS 1 ones acknowledged
  std::int64_t Received = 0;   // incoming PUBLISH packets accepted and handed on
  std::int64_t Dropped = 0;    // entries discarded (queue limit, unbuildable PUBLISH)
  std::int64_t Reconnects = 0; // sessions lost after their CONNACK
  std::int32_t Queued = 0;     // queue length at the moment of the copy
  std::string LastError;       // reason of the latest lost session or failed attempt
  bool DuplicateSuspected = false;
};

using TAEMqttLogProc = std::function<void(const std::string& line)>;
using TAEMqttEventProc = std::function<void()>;
using TAEMqttMessageProc = std::function<void(const std::string& topic, const TAEBytes& payload)>;

// Monotonic milliseconds since the module was loaded; the client's timers use nothing else.
std::int64_t NowMs();

class TAEMqttClient {
 public:
  // Takes the transport (used only by the client's thread while it runs); copies the
  // options. Opens nothing, starts no thread.
  TAEMqttClient(std::unique_ptr<IAEMqttTransport> transport, const TAEMqttOptions& options);
  ~TAEMqttClient();  // Stop; queued entries are discarded uncounted
  TAEMqttClient(const TAEMqttClient&) = delete;
  TAEMqttClient& operator=(const TAEMqttClient&) = delete;

  // Owner's thread. Start runs the thread when none runs (it tries to connect at once;
  // nothing of an earlier Stop, such as its abort of the transport, is left for it).
  // Stop ends it: when connected it first sends what is queued and waits briefly for
  // the acknowledgements, then DISCONNECT; in every case the transport is closed. A
  // Stop during the wait for CONNACK gives the broker a moment to answer, so that the
  // queue still goes out; a session that is being stopped is not announced through
  // OnConnected. A TCP connect, TLS handshake or WebSocket upgrade in progress is ended
  // at once. Bounded by the current pass; may be called any number of times.
  void Start();
  void Stop();

  // Any thread. Remembers the filter (QoS limited to 1); while connected also queues a
  // re-subscription entry. Raises EAEMqttStringTooLong for a filter above 65535 bytes,
  // EAEMqttUnbuildable for one that is not well-formed UTF-8 or holds U+0000.
  void Subscribe(const std::string& filter, std::uint8_t qos);

  // Any thread, any state; never waits for the network. False when the queue was full
  // and its oldest entry was dropped to make room. Raises EAEError for a QoS above 1,
  // which the client does not offer. A QoS 1 message stays queued until its PUBACK; one
  // written but not acknowledged when the session ends goes out again first in the next
  // one: with CleanSession as a new packet (new identifier, DUP 0), since the broker has
  // forgotten the old session; without it under its identifier, marked DUP.
  bool Publish(const std::string& topic, TAEBytes payload, std::uint8_t qos, bool retain);
  bool Publish(const std::string& topic, std::string_view text, std::uint8_t qos, bool retain);

  // Any thread: a copy taken under the lock.
  TAEMqttStats Stats() const;

  // Set before Start and left alone while the thread runs. Called on the client's
  // thread, never under the lock; they must return normally.
  TAEMqttLogProc OnLog;
  TAEMqttEventProc OnConnected;
  TAEMqttMessageProc OnMessage;

 private:
  struct TOutMsg {
    // A message, or the re-sending of every remembered subscription (no topic, no
    // payload), which keeps its place in the queue and counts in its limit as one.
    enum class TKind { Publish, Resubscribe };
    TKind Kind = TKind::Publish;
    std::uint64_t Seq = 0;  // identity, so that a flush removes only what it sent
    std::string Topic;
    TAEBytes Payload;
    std::uint8_t QoS = 0;
    bool Retain = false;
    bool Dup = false;             // written in an earlier session without its PUBACK
    // While in flight; without CleanSession also kept for the re-send in the next session.
    std::uint16_t PacketId = 0;
  };
  struct TSub {
    std::string Filter;
    std::uint8_t QoS = 0;
  };

  void Run(std::stop_token stop);
  void RunConnectedPass(std::int64_t keepAliveMs);
  bool DoConnect(std::stop_token stop);
  void ConnectionLost(const std::string& reason);
  std::size_t FlushQueue(std::size_t maxEntries);  // the number of entries it handled
  void FinishSession();  // Stop while connected: flush, wait for PUBACKs, DISCONNECT
  void SendSubscribe(const TSub& sub);
  // What an identifier in use waits for: a PUBACK or a SUBACK.
  enum class TIdUse : std::uint8_t { Free, Publish, Subscribe };
  bool TakePacketId(std::uint16_t& id, TIdUse use);  // false while every identifier is in flight
  bool ReleasePacketId(std::uint16_t id, TIdUse use);  // false: no identifier of that use in flight
  bool Enqueue(std::shared_ptr<TOutMsg> msg);
  void HandlePubAck(std::span<const std::uint8_t> body);
  void EndSession();  // in-flight entries back to the queue head, identifiers freed
  void CheckIncomingLength() const;
  void ClearReceiveBuffer();
  // afterDisconnect: only acknowledgements count; nothing may be sent any more.
  void PumpIncoming(std::int32_t timeoutMs, bool afterDisconnect = false);
  void HandlePacket(const TAEMqttPacket& packet, bool afterDisconnect);
  void SendPacket(const TAEBytes& packet);
  void Log(const std::string& line);
  void CloseTransport();
  // After DISCONNECT: read until the broker closes or the deadline (NowMs) passes; a
  // late PUBACK still frees its entry.
  void DrainUntilClosed(std::int64_t deadline);
  std::vector<TSub> CopySubs() const;
  bool RemoveHeadIf(std::uint64_t seq);  // REQUIRES: FLock held
  void ForgetSent(std::shared_ptr<TOutMsg> sent, std::uint16_t id);  // REQUIRES: FLock held
  std::size_t QueuedLocked() const { return FQueue.size() + FInFlight.size(); }  // REQUIRES: FLock held

  std::unique_ptr<IAEMqttTransport> FTransport;
  TAEMqttOptions FOptions;

  mutable std::mutex FLock;
  // Wakes the wait between connection attempts when Stop sets FStopping. A plain
  // condition variable and a flag: the stop-token wait of condition_variable_any can
  // hang in request_stop with the mingw-w64 runtime, so no stop callback is used.
  std::condition_variable FWake;
  bool FStopping = false;             // guarded by FLock
  // Entries are shared so that the flush takes the head without copying its payload;
  // once queued, an entry is read and changed (Dup, PacketId) only by the client's thread.
  std::deque<std::shared_ptr<TOutMsg>> FQueue;  // guarded by FLock
  // QoS 1 entries written in this session and not yet acknowledged, in the order
  // written; all older than anything in FQueue. Counted in the queue limit.
  std::deque<std::shared_ptr<TOutMsg>> FInFlight;  // guarded by FLock
  std::vector<TSub> FSubs;            // guarded by FLock
  TAEMqttStats FStats;                // guarded by FLock (Connected, Queued filled in the copy)
  std::uint64_t FLastSeq = 0;         // guarded by FLock
  // Written under FLock by the client's thread; read without it by Subscribe and Stats.
  std::atomic<bool> FConnected{false};

  // Touched only by the client's thread.
  TAEBytes FIn;
  std::size_t FInHead = 0;  // bytes of FIn already taken as packets
  std::uint16_t FPacketId = 0;
  // Identifiers sent and not yet acknowledged (PUBLISH and SUBSCRIBE), also those of
  // entries the queue limit dropped while they were in flight. Without CleanSession
  // those of unacknowledged PUBLISH entries stay taken across sessions.
  std::vector<TIdUse> FIdUse = std::vector<TIdUse>(65536, TIdUse::Free);
  std::size_t FIdsInUse = 0;
  bool FWaitingForIds = false;  // the head of the queue waits for free identifiers
  std::int64_t FLastRecvMs = 0;
  std::int64_t FNextTryMs = 0;
  std::int64_t FLastPingMs = 0;
  std::int32_t FBackoff = 0;
  std::int64_t FConnectedAtMs = 0;
  std::int32_t FQuickDrops = 0;
  bool FDuplicate = false;

  std::jthread FThread;  // last member: joined before the rest goes

  friend class TAEMqttClientProbe;  // tests look at the receive buffer once the thread is gone
};
