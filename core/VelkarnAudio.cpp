// The sound-card source: the input's opening, polling and reopening, the threshold
// trigger that cuts hit windows out of the sample stream, and the emission of each
// window as a channel-1 hit. Everything but the preparations of Start and the close of
// Stop runs on the generator thread, inside the poll: the input has no thread.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "AEAudioIn.h"
#include "AEConsole.h"
#include "AEConvert.h"
#include "AEDirectory.h"
#include "AEErrors.h"
#include "VelkarnCore.h"
#include "VelkarnEvents.h"

namespace {

constexpr std::int32_t kAudioBufferSamples = 1024;
constexpr std::int32_t kAudioBufferCount = 16;
constexpr std::int64_t kAudioRetryMs = 3000;

// Raises the largest hit number named by a "*.aeh" file at or below folder into seq.
// Only names that are whole integers count; anything else is someone else's file. A
// folder that cannot be listed raises: a resume from half the files could reuse
// numbers and overwrite hits.
void ScanHitNumbers(const std::string& folder, std::uint32_t& seq) {
  for (const std::string& name : ListFiles(folder, "*.aeh")) {
    const std::optional<std::int32_t> n = TryStrToInt(std::string_view(name).substr(0, name.rfind('.')));
    if (n && static_cast<std::uint32_t>(*n) > seq) seq = static_cast<std::uint32_t>(*n);
  }
  for (const std::string& sub : ListFolders(folder, "*")) ScanHitNumbers(JoinPath(folder, sub), seq);
}

}  // namespace

std::string ChannelOneFolder(const std::string& dataRoot) { return JoinPath(dataRoot, "Ch0001"); }

std::int32_t AudioTriggerCounts(double thresholdV, double voltsPerCount) {
  const double x = thresholdV / voltsPerCount;
  if (!std::isfinite(x)) return 1;
  // Half to even, as the default rounding mode does. A level above any 16-bit sample
  // is kept as the largest 32-bit one: cut to 32 bits it could come out small or
  // negative and fire on every sample.
  const double n = std::nearbyint(x);
  if (n < 1) return 1;
  if (n > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(n);
}

void TVelkarn::PrepareAudio() {
  ResetTrigger();
  ResumeAudioSequence();
  try {
    OpenAudio();
  } catch (const EAEError& e) {
    ConsoleWriteLine(std::string("Audio input not available: ") + e.what() + " - retrying every 3 s");
    FAudioRetryMs = kAudioRetryMs;
  }
}

void TVelkarn::ResetTrigger() {
  FRing.assign(static_cast<std::size_t>(FSettings.PreTriggerSamples), 0);
  FRingPos = 0;
  FCapturing = false;
  FSampleIdx = 0;
  FDeadUntil = 0;
  FTriggerCounts = AudioTriggerCounts(FSettings.ThresholdV(), FSettings.VoltsPerCount());
}

void TVelkarn::ResumeAudioSequence() {
  std::uint32_t seq = 0;
  ScanHitNumbers(ChannelOneFolder(FSettings.DataRoot), seq);
  FSeq[1] = seq;
}

void TVelkarn::OpenAudio() {
  FCapturing = false;  // a window cut short by the failure is dropped
  auto input = std::make_unique<TAEAudioIn>(FSettings.AudioDevice, FSettings.SampleRateHz, kAudioBufferSamples,
                                            kAudioBufferCount);
  input->Start();  // on failure the input is freed here and FAudio stays empty
  FAudio = std::move(input);
  FAudioOpen.store(true, std::memory_order_relaxed);
}

void TVelkarn::CloseAudio() {
  FAudioOpen.store(false, std::memory_order_relaxed);
  FAudio.reset();  // the input's destructor raises nothing
}

void TVelkarn::PollAudio(std::int64_t nowMs) {
  if (FAudio) {
    try {
      FAudio->Poll([this](const std::int16_t* samples, std::int32_t count) { ProcessSamples(samples, count); });
    } catch (const std::exception& e) {
      // Any failure, the device's or one of the hit's own, closes the input: polling it
      // on would hand the same buffer to the trigger a second time.
      ++FStats.AudioErrors;
      ConsoleWriteLine(EventTime() + "  " + e.what() + " - retrying every 3 s");
      CloseAudio();
      FAudioRetryMs = nowMs + kAudioRetryMs;
    }
    return;
  }
  if (nowMs < FAudioRetryMs) return;
  try {
    OpenAudio();
    ConsoleWriteLine(EventTime() + "  audio input reopened");
  } catch (const std::exception&) {
    FAudioRetryMs = nowMs + kAudioRetryMs;  // silent: the first failure was reported
  }
}

void TVelkarn::ProcessSamples(const std::int16_t* samples, std::int32_t count) {
  const auto ringLen = static_cast<std::int32_t>(FRing.size());
  const auto windowLen = static_cast<std::int32_t>(FSamples.size());
  const std::int64_t deadSamples = static_cast<std::int64_t>(FSettings.DeadTimeMs) * FSettings.SampleRateHz / 1000;
  std::int32_t i = 0;
  while (i < count) {
    if (FCapturing) {
      // The rest of the window, or as much of it as this buffer holds, in one copy.
      const std::int32_t n = std::min(windowLen - FCapPos, count - i);
      std::memcpy(FSamples.data() + FCapPos, samples + i, static_cast<std::size_t>(n) * sizeof(std::int16_t));
      FCapPos += n;
      i += n;
      if (FCapPos < windowLen) {
        FSampleIdx += n;
        continue;
      }
      FSampleIdx += n - 1;  // the window's last sample, while the hit goes out
      FCapturing = false;
      EmitAudioHit();
      FDeadUntil = FSampleIdx + deadSamples;
      ++FSampleIdx;
      continue;
    }
    for (; i < count; ++i) {
      const std::int16_t s = samples[i];
      const bool fires = FSampleIdx >= FDeadUntil && std::abs(static_cast<std::int32_t>(s)) >= FTriggerCounts;
      if (fires) {
        // Oldest first: the ring from its next write position round to the one before.
        const auto tail = static_cast<std::size_t>(ringLen - FRingPos);
        std::memcpy(FSamples.data(), FRing.data() + FRingPos, tail * sizeof(std::int16_t));
        std::memcpy(FSamples.data() + tail, FRing.data(), static_cast<std::size_t>(FRingPos) * sizeof(std::int16_t));
        FSamples[static_cast<std::size_t>(ringLen)] = s;
        FCapPos = ringLen + 1;
        FCapturing = true;
      }
      FRing[static_cast<std::size_t>(FRingPos)] = s;
      if (++FRingPos == ringLen) FRingPos = 0;
      ++FSampleIdx;
      if (fires) {
        ++i;
        break;
      }
    }
  }
}

void TVelkarn::EmitAudioHit() {
  ++FSeq[1];
  const double rate = static_cast<double>(FSettings.SampleRateHz);
  TAEHitFeatures f;
  ExtractFeatures(FSamples, rate, FSettings.VoltsPerCount(), FSettings.ThresholdV(), f);

  // Stamped now: the window is complete now, not at its trigger.
  auto r = NewRecord<TAEHitRecord>(FSettings.AgentId, 1, FSeq[1], NowFileTime());
  ClassifyAudioHit(f, static_cast<std::int32_t>(FSamples.size()), FSettings.SampleRateHz, r.HitClass, r.SubCode,
                   r.Confidence);
  EmitHit(1, kNoTrueClass, r, f);
}
