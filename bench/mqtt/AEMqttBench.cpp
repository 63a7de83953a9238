// Messages per second from Publish to the subscriber's receipt through a local
// mosquitto, for our client over TCP, ws:// and wss:// and for libmosquitto over TCP on
// the same workload (76-byte hit records, QoS 0 and 1) against the same broker, and the
// cost of Publish while the broker is unreachable; and the node's own road for a record
// (SendRecord) beside the bare client. The broker is the WebSocket tests' one
// (tests/wss/broker.sh): the process enters a network namespace of its own first.
#include <benchmark/benchmark.h>
#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "AEMqtt.h"
#include "AESocket.h"
#include "VelkarnCore.h"
#include "AEWssBroker.h"
#include "common/AETestListener.h"

// The agent's friend: reaches its MQTT start and its record road.
class TVelkarnProbe {
 public:
  static void StartMqtt(TVelkarn& agent) { agent.StartMqtt(); }
  static void SendHit(TVelkarn& agent, std::span<const std::uint8_t> record) { agent.SendRecord("hit", record); }
};

namespace {

constexpr int kBatch = 20000;     // messages per iteration
constexpr std::size_t kHitBytes = 76;  // one hit record
const std::string kTopic = "kivu/bench/hit";

// One broker for every row, with TCP, ws and wss listeners, its CA trusted. It lets
// anyone in, so the logins below are only carried.
class TBenchBroker {
 public:
  // The subscriber must keep every QoS 1 message of a batch: no queue or in-flight cap.
  TBenchBroker() : FBroker(Dir(), "max_queued_messages 0\nmax_inflight_messages 0") {
    if (!FBroker.Error().empty()) throw std::runtime_error(FBroker.Error());
    setenv("SSL_CERT_FILE", (Dir() + "/ca.pem").c_str(), 1);
  }
  std::uint16_t Port() const { return kTcpPort; }

 private:
  static std::string Dir() {
    static const std::string dir = [] {
      const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
      const auto d = std::filesystem::temp_directory_path() / ("velkarn_mqtt_bench_" + std::to_string(stamp));
      std::filesystem::create_directories(d);
      return d.string();
    }();
    return dir;
  }
  TAETestBroker FBroker;
};

TBenchBroker& Broker() {
  static TBenchBroker broker;
  return broker;
}

enum TVia { kViaTcp, kViaWs, kViaWss };

std::unique_ptr<IAEMqttTransport> Transport(TVia via) {
  switch (via) {
    case kViaWs: return CreateWssTransport("ws://127.0.0.1:" + std::to_string(kWsPort) + "/mqtt");
    case kViaWss: return CreateWssTransport("wss://localhost:" + std::to_string(kWssPort) + "/mqtt");
    default: return CreateTcpTransport("127.0.0.1", Broker().Port());
  }
}

// A libmosquitto subscriber (QoS 1, so it receives each message at the QoS it was
// published with) that counts what arrives; the same receiver for both publishers.
class TCounter {
 public:
  TCounter() {
    FMosq = mosquitto_new("bench-sub", true, this);
    mosquitto_username_pw_set(FMosq, "bench", "bench-pw");
    mosquitto_message_callback_set(FMosq, [](mosquitto*, void* self, const mosquitto_message*) {
      auto* c = static_cast<TCounter*>(self);
      std::lock_guard lock(c->FLock);
      ++c->FCount;
      c->FChanged.notify_all();
    });
    mosquitto_subscribe_callback_set(FMosq, [](mosquitto*, void* self, int, int, const int*) {
      auto* c = static_cast<TCounter*>(self);
      std::lock_guard lock(c->FLock);
      c->FSubscribed = true;
      c->FChanged.notify_all();
    });
    if (mosquitto_connect(FMosq, "127.0.0.1", Broker().Port(), 60) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("subscriber cannot connect");
    mosquitto_subscribe(FMosq, nullptr, kTopic.c_str(), 1);
    mosquitto_loop_start(FMosq);
    std::unique_lock lock(FLock);
    if (!FChanged.wait_for(lock, std::chrono::seconds(10), [&] { return FSubscribed; }))
      throw std::runtime_error("subscription not confirmed");
  }
  ~TCounter() {
    mosquitto_disconnect(FMosq);
    mosquitto_loop_stop(FMosq, false);
    mosquitto_destroy(FMosq);
  }
  void Reset() {
    std::lock_guard lock(FLock);
    FCount = 0;
  }
  bool WaitFor(long n) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::seconds(60), [&] { return FCount >= n; });
  }

 private:
  mosquitto* FMosq = nullptr;
  std::mutex FLock;
  std::condition_variable FChanged;
  long FCount = 0;
  bool FSubscribed = false;
};

void BM_VelkarnPublishToReceipt(benchmark::State& state, TVia via) {
  const auto qos = static_cast<std::uint8_t>(state.range(0));
  TCounter counter;
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = "bench-pub";
  o.User = "bench";
  o.Password = "bench-pw";
  o.MaxQueue = kBatch * 2;  // the whole batch waits in the queue; nothing may drop
  TAEMqttClient client(Transport(via), o);
  client.Start();
  while (!client.Stats().Connected) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const TAEBytes hit(kHitBytes, 0x5A);
  for (auto _ : state) {
    counter.Reset();
    for (int i = 0; i < kBatch; ++i) client.Publish(kTopic, hit, qos, false);
    if (!counter.WaitFor(kBatch)) state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["dropped"] = static_cast<double>(client.Stats().Dropped);
}

void BM_LibmosquittoPublishToReceipt(benchmark::State& state) {
  const int qos = static_cast<int>(state.range(0));
  TCounter counter;
  mosquitto* pub = mosquitto_new("bench-peer", true, nullptr);
  mosquitto_username_pw_set(pub, "bench", "bench-pw");
  // Arg 1 is the window of QoS 1 messages in flight, 65535 being what the protocol's
  // identifiers allow and what our client uses. libmosquitto walks its list of messages
  // in flight at every acknowledgement, so its best window here is far smaller: the
  // 1000 row shows that.
  mosquitto_int_option(pub, MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(state.range(1)));
  if (mosquitto_connect(pub, "127.0.0.1", Broker().Port(), 60) != MOSQ_ERR_SUCCESS) {
    state.SkipWithError("peer cannot connect");
    return;
  }
  mosquitto_loop_start(pub);
  const std::string hit(kHitBytes, '\x5A');
  for (auto _ : state) {
    counter.Reset();
    for (int i = 0; i < kBatch; ++i)
      mosquitto_publish(pub, nullptr, kTopic.c_str(), static_cast<int>(hit.size()), hit.data(), qos, false);
    if (!counter.WaitFor(kBatch)) state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  mosquitto_disconnect(pub);
  mosquitto_loop_stop(pub, false);
  mosquitto_destroy(pub);
}

// Publish while nothing listens: the queue is full after the first 1000 calls, so each
// call also drops the oldest entry. Target: under 2 us per call.
void BM_VelkarnPublishWhileUnreachable(benchmark::State& state) {
  std::uint16_t deadPort;
  {
    TAETcpListener probe = TAETcpListener::Loopback();
    deadPort = probe.Port();
  }
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = "bench-away";
  TAEMqttClient client(CreateTcpTransport("127.0.0.1", deadPort), o);
  client.Start();
  const TAEBytes hit(kHitBytes, 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(client.Publish(kTopic, hit, 0, false));
  state.SetItemsProcessed(state.iterations());
  state.counters["ceiling_ns"] = benchmark::Counter(2000, benchmark::Counter::kAvgThreads);
  state.counters["connected"] = benchmark::Counter(client.Stats().Connected ? 1 : 0, benchmark::Counter::kAvgThreads);
}

// Hit records from a node in mqtt mode (topic formed and record copied per send) to the
// subscriber, beside the bare client publishing the same records on a ready topic
// (Arg 1). Batches of 1000, the node's queue limit, so that nothing drops.
void BM_NodeRecordsToReceipt(benchmark::State& state) {
  constexpr int kNodeBatch = 1000;
  const bool bare = state.range(0) == 1;
  TCounter counter;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("velkarn_node_bench_" + std::to_string(Broker().Port()));
  std::filesystem::create_directories(dir);
  {
    std::ofstream ini(dir / "Velkarn.ini");
    ini << "[Agent]\nDataRoot=" << (dir / "Data").string() << "\n[Network]\nTransport=mqtt\n[Mqtt]\nUrl=mqtt://127.0.0.1:"
        << Broker().Port() << "\nUser=bench\nPassword=bench-pw\n";
  }
  auto agent = std::make_unique<TVelkarn>((dir / "Velkarn.ini").string());
  TVelkarnProbe::StartMqtt(*agent);
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = "bench-bare";
  o.User = "bench";
  o.Password = "bench-pw";
  TAEMqttClient client(CreateTcpTransport("127.0.0.1", Broker().Port()), o);
  if (bare) client.Start();
  TAEMqttStats s;
  while (!(bare ? client.Stats().Connected : agent->MqttStats(s) && s.Connected))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::vector<std::uint8_t> hit(kHitBytes, 0x5A);
  for (auto _ : state) {
    counter.Reset();
    for (int i = 0; i < kNodeBatch; ++i) {
      if (bare)
        client.Publish(kTopic, hit, 0, false);
      else
        TVelkarnProbe::SendHit(*agent, hit);
    }
    if (!counter.WaitFor(kNodeBatch)) state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(state.iterations() * kNodeBatch);
  state.SetLabel(bare ? "bare client" : "node SendRecord");
  client.Stop();
  agent.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_NodeRecordsToReceipt)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_VelkarnPublishToReceipt, tcp, kViaTcp)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_VelkarnPublishToReceipt, ws, kViaWs)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(BM_VelkarnPublishToReceipt, wss, kViaWss)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_LibmosquittoPublishToReceipt)->Args({0, 65535})->Args({1, 65535})->Args({1, 1000})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_VelkarnPublishWhileUnreachable)->Unit(benchmark::kNanosecond)->Threads(1)->Threads(4);

int main(int argc, char** argv) {
  mosquitto_lib_init();
  Broker();  // before the first row, so that no row pays for the certificates
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  mosquitto_lib_cleanup();
  return 0;
}
