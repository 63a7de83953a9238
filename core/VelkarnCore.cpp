// The agent's life: construction, start, stop, and the generator loop's timing.
#include "VelkarnCore.h"
#include "AEWaveServer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "AEAudioIn.h"
#include "AEConsole.h"
#include "AEErrors.h"
#include "AEFileSystem.h"
#include "AERandom.h"
#include "AEUdp.h"
#include "VelkarnEvents.h"

TAEGenThread::TAEGenThread(TVelkarn& agent)
    : FAgent(agent), FThread([this](std::stop_token stop) { FAgent.Run(*this, stop); }) {}

TAEGenThread::~TAEGenThread() {
  Terminate();
  WaitFor();
}

void TAEGenThread::Terminate() {
  {
    std::lock_guard lock(FLock);
    FTerminated = true;
  }
  FWake.notify_all();
  FThread.request_stop();  // the loop's long bursts poll the token between hits
}

bool TAEGenThread::WaitMs(std::int64_t ms) {
  std::unique_lock lock(FLock);
  return !FWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FTerminated; });
}

void TAEGenThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

TVelkarn::TVelkarn(const std::string& iniPath) {
  FSettings.Load(iniPath);
  const auto slots = static_cast<std::size_t>(FSettings.Channels) + 1;
  FSeq.assign(slots, 0);
  FLastDir.assign(slots, std::string());
  FPingSeq.assign(slots, 0);
  FHitsSinceLast.assign(slots, 0);
  FFailed.assign(slots, false);
  FSamples.assign(static_cast<std::size_t>(FSettings.SamplesPerHit), 0);
  FUdp = MakeUdpSender({});
}

std::unique_ptr<TAEUdpSender> TVelkarn::MakeUdpSender(TAEUdpSender::TResolver resolver,
                                                      std::chrono::milliseconds retry) const {
  const std::string where = FSettings.UdpHost + ":" + std::to_string(FSettings.UdpPort);
  // Told on the sender's lookup thread, only when the outcome changes.
  auto report = [where](bool resolved, const std::string& text) {
    if (resolved)
      ConsoleWriteLine(EventTime() + "  UDP: " + where + " resolved to " + text + ", records are sent again");
    else
      ConsoleWriteLine(EventTime() + "  UDP: " + text + " - records to " + where + " count as errors until it resolves");
  };
  return std::make_unique<TAEUdpSender>(FSettings.UdpHost, FSettings.UdpPort, report, std::move(resolver), retry);
}

TVelkarn::~TVelkarn() { Stop(); }

void TVelkarn::Start() {
  // A folder that cannot be made shows later as failed hit files, not here.
  try {
    ForceDirectories(ChannelOneFolder(FSettings.DataRoot));
  } catch (const EAEError&) {
  }
  RandomSeed(static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  if (FSettings.IsAudio()) PrepareAudio();
  if (FSettings.IsMqtt()) {
    StartMqtt();
  } else {
    ActivateWaveServer();
    FUdp->Start();  // the name's lookup, off the generator thread
  }
  FThread = std::make_unique<TAEGenThread>(*this);
}

void TVelkarn::Stop() {
  if (FThread) {
    FThread->Terminate();
    FThread->WaitFor();
    FThread.reset();
  }
  CloseAudio();  // only now: the generator thread may have been polling it
  StopMqtt();
  DeactivateWaveServer();
}

bool TVelkarn::AudioOk() const { return FAudioOpen.load(std::memory_order_relaxed); }

void TVelkarn::Run(TAEGenThread& thread, std::stop_token stop) {
  const auto started = std::chrono::steady_clock::now();
  TLoopState loop;
  BeginRun();
  while (!stop.stop_requested()) {
    thread.WaitMs(10);
    const std::int64_t nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    if (!RunPass(loop, nowMs, stop)) thread.WaitMs(1000);
  }
}

void TVelkarn::BeginRun() {
  FCrackFactor = 1.0;
  // The sweep before the first pass is handled like a pass of its own: an error is
  // counted and printed and the loop starts all the same.
  try {
    SweepRetention();
  } catch (const std::exception& e) {
    ReportLoopError(DescribeException(e));
  }
}

bool TVelkarn::RunPass(TLoopState& loop, std::int64_t nowMs, std::stop_token stop) {
  try {
    const double dtSec = static_cast<double>(nowMs - loop.PrevMs) / 1000.0;
    loop.PrevMs = nowMs;
    ApplyChannelFailures(loop, nowMs);
    if (FSettings.IsAudio())
      PollAudio(nowMs);
    else
      SimulatePass(nowMs, dtSec, stop);
    if (!FSettings.IsAudio() && FSettings.ParamIntervalMs > 0 && nowMs >= loop.NextParamMs) {
      SendParams();
      loop.NextParamMs = nowMs + FSettings.ParamIntervalMs;
    }
    if (FSettings.PingIntervalSec > 0 && nowMs >= loop.NextPingMs) {
      SendPings(static_cast<std::int32_t>(nowMs / 1000));
      loop.NextPingMs = nowMs + static_cast<std::int64_t>(FSettings.PingIntervalSec) * 1000;
    }
    if (nowMs - loop.LastSweepMs >= 60000) {
      loop.LastSweepMs = nowMs;
      SweepRetention();
    }
    return true;
  } catch (const std::exception& e) {
    ReportLoopError(DescribeException(e));
    return false;
  }
}

void TVelkarn::ApplyChannelFailures(TLoopState& loop, std::int64_t nowMs) {
  if (loop.FailuresApplied || FSettings.IsAudio()) return;
  if (nowMs < static_cast<std::int64_t>(FSettings.FailAfterSec) * 1000) return;
  loop.FailuresApplied = true;
  for (const std::int32_t c : FSettings.FailChannels)
    if (c >= 1 && c <= FSettings.Channels) FFailed[static_cast<std::size_t>(c)] = true;
}

void TVelkarn::ReportLoopError(const std::string& description) {
  ++FStats.LoopErrors;
  ConsoleWriteLine(EventTime() + "  agent loop error: " + description);
}
