// The acquisition agent: TVelkarn owns the settings, the statistics, the UDP sender and
// the generator thread, whose 10 ms loop makes (or captures) hits, writes their hit
// files and sends every record. Created, started, stopped and freed on the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "AEDsp.h"
#include "AEMqtt.h"
#include "AEProtocol.h"
#include "AESettings.h"
#include "AEUdp.h"
#include "AEWaveRecords.h"

class TAEAudioIn;
class TAEWaveServer;

// A 64-bit statistics counter. The generator thread (and the wave server's connection
// threads) advance it while the main and tray threads copy it for display: relaxed
// atomics make that copy race-free and lock-free; no other data hangs on the values.
class TAECounter {
 public:
  TAECounter() = default;
  TAECounter(std::int64_t v) : FValue(v) {}
  TAECounter(const TAECounter& other) : FValue(other.Load()) {}
  TAECounter& operator=(const TAECounter& other) {
    FValue.store(other.Load(), std::memory_order_relaxed);
    return *this;
  }
  std::int64_t Load() const { return FValue.load(std::memory_order_relaxed); }
  operator std::int64_t() const { return Load(); }
  void Add(std::int64_t n) { FValue.fetch_add(n, std::memory_order_relaxed); }
  // For a writer that takes a plain atomic counter (the wave server's threads).
  std::atomic<std::int64_t>& Atomic() { return FValue; }
  TAECounter& operator++() {
    Add(1);
    return *this;
  }
  TAECounter& operator+=(std::int64_t n) {
    Add(n);
    return *this;
  }

 private:
  std::atomic<std::int64_t> FValue{0};
};

// The agent's statistics. Counters start at 0 with the agent and are never reset. A
// copy (TVelkarn::Stats) reads counter by counter: the values may be a few counts apart
// in time, which is fine for display.
struct TAEStats {
  TAECounter Hits;          // hits emitted, whatever became of their file and record
  TAECounter UdpSent;       // hit records handed to the transport without an error
  TAECounter UdpErrors;     // hit, ping and parameter records whose hand-over raised
  TAECounter FilesWritten;  // hit files written completely
  TAECounter BytesWritten;  // 88 + 2 per sample for each of them
  TAECounter FileErrors;    // hit files that could not be written
  TAECounter WaveRequests;  // wave-server requests read
  TAECounter WaveServed;    // wave-server requests answered with a file
  TAECounter PingsSent;
  TAECounter ParamsSent;
  TAECounter LoopErrors;   // generator passes ended by an exception
  TAECounter AudioErrors;  // failed polls of the sound card
  // Row = true class of the simulator, column = class assigned by the classifier.
  TAECounter Confusion[4][4];
};

// Knuth's multiplication method: k + 1 uniform draws for a result k. A mean of 0 or
// less (or not a number) gives 0 after one draw.
std::int32_t PoissonRandom(double mean);

class TVelkarn;

// Runs TVelkarn::Run of its agent from construction until it is terminated.
class TAEGenThread {
 public:
  explicit TAEGenThread(TVelkarn& agent);
  ~TAEGenThread();  // Terminate, then WaitFor
  TAEGenThread(const TAEGenThread&) = delete;
  TAEGenThread& operator=(const TAEGenThread&) = delete;

  void Terminate();  // asks the loop to end; it notices at once, even mid-wait
  void WaitFor();    // joins the thread
  // The loop's own waits: ms milliseconds, or less when Terminate comes first. False
  // once terminated.
  bool WaitMs(std::int64_t ms);

 private:
  TVelkarn& FAgent;  // outlives the thread: the agent joins it before anything is freed
  // A plain condition variable and a flag: condition_variable_any's stop-token wait can
  // hang for good with the Windows toolchain's runtime. Declared before FThread, which
  // uses them as soon as it starts.
  std::mutex FLock;
  std::condition_variable FWake;
  bool FTerminated = false;  // guarded by FLock
  std::jthread FThread;
};

class TVelkarn {
 public:
  // Loads the settings (raises what TAESettings::Load raises) and creates the UDP
  // sender; opens nothing.
  explicit TVelkarn(const std::string& iniPath);
  ~TVelkarn();  // Stop, then the rest is released
  TVelkarn(const TVelkarn&) = delete;
  TVelkarn& operator=(const TVelkarn&) = delete;

  // Data folders, random seed, the transport's start, then the generator thread. Raises
  // (with no thread left running) when a source or transport cannot start.
  void Start();
  // Ends what Start started; any number of calls, also on an agent never started.
  void Stop();

  // True while the sound card is open; always false in simulation. Any thread.
  bool AudioOk() const;

  // A copy of the MQTT client's statistics and true; false with a cleared record when
  // there is no client (udp mode, before Start, after Stop). Main or tray thread, while
  // no Start or Stop runs.
  bool MqttStats(TAEMqttStats& s) const;

  // Read-only after construction; any thread.
  const TAESettings& Settings() const { return FSettings; }
  // A copy for display; any thread, no lock.
  TAEStats Stats() const { return FStats; }

 private:
  friend class TAEGenThread;
  friend class TVelkarnProbe;  // tests drive single passes with their own clock
  friend class TVelkarnAudioProbe;  // tests feed the trigger directly

  // Timing state of one run of the generator loop, in loop milliseconds.
  struct TLoopState {
    std::int64_t PrevMs = 0;
    std::int64_t NextParamMs = 0;
    std::int64_t NextPingMs = 0;
    std::int64_t LastSweepMs = 0;
    bool FailuresApplied = false;
  };

  // Generator loop (VelkarnCore.cpp).
  void Run(TAEGenThread& thread, std::stop_token stop);
  void BeginRun();
  // One pass at loop time nowMs; false when it raised (counted and printed).
  bool RunPass(TLoopState& loop, std::int64_t nowMs, std::stop_token stop = {});
  void ApplyChannelFailures(TLoopState& loop, std::int64_t nowMs);
  void ReportLoopError(const std::string& description);
  // The sender to UdpHost:UdpPort, printing a line when its lookup fails and when it
  // succeeds again. resolver and retry: the sender's test seam.
  std::unique_ptr<TAEUdpSender> MakeUdpSender(TAEUdpSender::TResolver resolver,
                                              std::chrono::milliseconds retry = kUdpResolveRetry) const;

  // Simulation (VelkarnSim.cpp).
  void SimulatePass(std::int64_t nowMs, double dtSec, std::stop_token stop);
  void UpdateProcess(double t);
  void SimulateHit(std::int32_t ch);
  std::uint8_t DrawTrueClass();
  void SendParams();
  void SendParam(std::uint16_t id, double value, std::uint8_t kind);

  // Hit output (VelkarnOutput.cpp). EmitHit takes a record with its head and class,
  // adds FSamples' rate and count and the features, seals it and sends it.
  void EmitHit(std::int32_t ch, std::uint8_t truth, TAEHitRecord& record, const TAEHitFeatures& f);
  void WriteHitFile(std::int32_t ch, std::uint8_t truth, const TAEHitRecord& record);
  void SendRecord(std::string_view kind, std::span<const std::uint8_t> bytes);
  void SendPings(std::int32_t uptimeSec);

  // mqtt mode (VelkarnMqtt.cpp). StartMqtt raises on a configuration it cannot use;
  // StopMqtt queues "stopped", stops and frees the client (nothing without one).
  void StartMqtt();
  void StopMqtt();
  std::string MqttTopic(std::string_view suffix) const;  // "kivu/<user>" + suffix
  void PublishWave(const TAEWaveHeader& header);  // header just written; FSamples follow

  // Sound-card source (VelkarnAudio.cpp).
  void PrepareAudio();  // trigger, hit-number resume, first open
  void ResetTrigger();
  void ResumeAudioSequence();
  void OpenAudio();
  void CloseAudio();
  void PollAudio(std::int64_t nowMs);
  void ProcessSamples(const std::int16_t* samples, std::int32_t count);
  void EmitAudioHit();

  // Wave server and retention (VelkarnWave.cpp).
  void ActivateWaveServer();
  void DeactivateWaveServer();
  void SweepRetention();

  TAESettings FSettings;
  std::unique_ptr<TAEGenThread> FThread;
  std::unique_ptr<TAEUdpSender> FUdp;
  TAEStats FStats;
  // Per-channel tables have Channels + 1 entries; entry 0 is never used.
  std::vector<std::uint32_t> FSeq;            // last hit number of the channel
  std::vector<std::uint32_t> FPingSeq;        // last ping number of the channel
  std::vector<std::uint32_t> FHitsSinceLast;  // hits since the channel's last ping
  std::vector<bool> FFailed;                  // simulated channel failure: no hits, no pings
  double FCrackFactor = 1.0;
  std::uint32_t FParamSeq[3] = {0, 0, 0};  // [1] pressure, [2] temperature
  double FPressure = 0;
  double FTemperature = 0;
  std::vector<std::string> FLastDir;  // hit-file folder last made for the channel
  std::vector<std::int16_t> FSamples;  // the hit window, reused by every hit
  // udp mode only; its connection threads borrow FSettings and two counters of FStats,
  // so it is declared after both and deactivated in Stop before they go.
  std::unique_ptr<TAEWaveServer> FWaveServer;
  // mqtt mode only, from Start to Stop. Published into from the generator thread, the
  // client's own thread ("online") and the main thread ("stopped").
  std::unique_ptr<TAEMqttClient> FMqtt;
  // "stopped" is the last status: once StopMqtt has queued it, the client's thread
  // queues no "online" behind it. Both decide and publish under this lock.
  std::mutex FMqttStatusLock;
  bool FMqttStopping = false;  // guarded by FMqttStatusLock
  std::int64_t FWaveSecond = 0;       // UTC second of the current wave window
  std::int32_t FWavesThisSecond = 0;  // waves published in it


  // Sound-card source. FAudio is created and freed only while the generator thread does
  // not use it (before it starts, after it is joined) or by that thread itself;
  // FAudioOpen mirrors it for AudioOk on other threads.
  std::unique_ptr<TAEAudioIn> FAudio;
  std::atomic<bool> FAudioOpen{false};
  std::vector<std::int16_t> FRing;  // pre-trigger samples; written only while not capturing
  std::int32_t FRingPos = 0;        // next write, and the oldest sample once the ring is full
  std::int32_t FCapPos = 0;         // next write into FSamples while capturing
  bool FCapturing = false;
  std::int64_t FSampleIdx = 0;      // index of the next sample; a reopen does not reset it
  std::int64_t FDeadUntil = 0;      // no trigger on a sample below this index
  std::int32_t FTriggerCounts = 1;  // trigger level in ADC counts, at least 1
  std::int64_t FAudioRetryMs = 0;   // loop time of the next attempt to open a closed input
};

// The folder of channel 1's hit files below dataRoot.
std::string ChannelOneFolder(const std::string& dataRoot);

// Trigger level in ADC counts: thresholdV / voltsPerCount rounded half to even, at
// least 1 (also when the ratio is infinite or not a number).
std::int32_t AudioTriggerCounts(double thresholdV, double voltsPerCount);
