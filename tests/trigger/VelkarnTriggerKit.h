// Shared pieces of the sound-card trigger tests: a probe into the agent's trigger, a
// literal per-sample model of the trigger to hold the agent to, sample streams with
// bursts at known places, and the reading back of what a hit left behind.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "AEFileSystem.h"
#include "AEProtocol.h"
#include "agent/VelkarnTestKit.h"

class TVelkarnAudioProbe {
 public:
  explicit TVelkarnAudioProbe(TVelkarn& agent) : FAgent(agent) {}
  void ResetTrigger() { FAgent.ResetTrigger(); }
  // The folder and audio steps of Start, without its thread.
  void PrepareAudio() {
    ForceDirectories(ChannelOneFolder(FAgent.FSettings.DataRoot));
    FAgent.PrepareAudio();
  }
  void Process(std::span<const std::int16_t> s) {
    FAgent.ProcessSamples(s.data(), static_cast<std::int32_t>(s.size()));
  }
  void PollAudio(std::int64_t nowMs) { FAgent.PollAudio(nowMs); }
  bool Pass(std::int64_t nowMs) { return FAgent.RunPass(FLoop, nowMs); }
  std::int64_t SampleIdx() const { return FAgent.FSampleIdx; }
  std::int64_t DeadUntil() const { return FAgent.FDeadUntil; }
  std::int32_t TriggerCounts() const { return FAgent.FTriggerCounts; }
  std::int64_t RetryMs() const { return FAgent.FAudioRetryMs; }
  bool Capturing() const { return FAgent.FCapturing; }
  std::uint32_t Seq() const { return FAgent.FSeq[1]; }

 private:
  TVelkarn& FAgent;
  TVelkarn::TLoopState FLoop;
};

// The trigger as a reader of its description would write it, one sample at a time.
struct TReferenceTrigger {
  struct TWindow {
    std::int64_t TriggerIdx;
    std::vector<std::int16_t> Samples;
  };
  std::int32_t P, L, Level;
  std::int64_t DeadSamples;

  std::vector<TWindow> Run(const std::vector<std::int16_t>& stream) const {
    std::vector<TWindow> out;
    std::vector<std::int16_t> ring(static_cast<std::size_t>(P), 0), window(static_cast<std::size_t>(L), 0);
    std::int32_t ringPos = 0, capPos = 0;
    bool capturing = false;
    std::int64_t deadUntil = 0, trigger = 0;
    for (std::int64_t idx = 0; idx < static_cast<std::int64_t>(stream.size()); ++idx) {
      const std::int16_t s = stream[static_cast<std::size_t>(idx)];
      if (capturing) {
        window[static_cast<std::size_t>(capPos++)] = s;
        if (capPos >= L) {
          capturing = false;
          out.push_back({trigger, window});
          deadUntil = idx + DeadSamples;
        }
        continue;
      }
      if (idx >= deadUntil && std::abs(static_cast<int>(s)) >= Level) {
        for (std::int32_t j = 0; j < P; ++j) window[static_cast<std::size_t>(j)] = ring[static_cast<std::size_t>((ringPos + j) % P)];
        window[static_cast<std::size_t>(P)] = s;
        capPos = P + 1;
        capturing = true;
        trigger = idx;
      }
      ring[static_cast<std::size_t>(ringPos)] = s;
      ringPos = (ringPos + 1) % P;
    }
    return out;
  }
};

// Quiet background noise that never reaches `level`, distinct at every place.
inline std::vector<std::int16_t> QuietStream(std::size_t count, std::int32_t level, std::uint32_t seed) {
  std::vector<std::int16_t> out(count);
  std::uint32_t x = seed;
  const std::int32_t span = level - 1;  // |s| <= level - 1
  for (auto& s : out) {
    x = x * 1664525u + 1013904223u;
    s = static_cast<std::int16_t>(static_cast<std::int32_t>((x >> 8) % static_cast<std::uint32_t>(2 * span + 1)) - span);
  }
  return out;
}

// A decaying click from `at` on: its first sample is `peak` (may be negative).
inline void AddClick(std::vector<std::int16_t>& s, std::size_t at, std::int32_t peak, std::size_t length) {
  for (std::size_t k = 0; k < length && at + k < s.size(); ++k) {
    const double v = peak * std::exp(-static_cast<double>(k) / (length / 5.0)) * (k % 2 == 0 ? 1 : -1);
    s[at + k] = static_cast<std::int16_t>(std::lround(v));
  }
}

// A steady tone from `at` on, starting at its peak.
inline void AddTone(std::vector<std::int16_t>& s, std::size_t at, std::int32_t peak, double cyclesPerSample,
                    std::size_t length) {
  for (std::size_t k = 0; k < length && at + k < s.size(); ++k)
    s[at + k] = static_cast<std::int16_t>(std::lround(peak * std::cos(6.283185307179586 * cyclesPerSample * k)));
}

// The lines of console output, each ended by CR LF.
inline std::vector<std::string> ConsoleLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  for (std::size_t lf; (lf = text.find("\r\n", pos)) != std::string::npos; pos = lf + 2)
    lines.push_back(text.substr(pos, lf - pos));
  return lines;
}

// A hit file as written: the 88-byte head and the samples after it.
struct THitFile {
  TAEWaveHeader Header;
  std::vector<std::int16_t> Samples;
};

inline bool ReadHitFile(const std::string& path, THitFile& out) {
  const std::string bytes = ReadFileBytes(path);
  if (bytes.size() < sizeof(TAEWaveHeader) || (bytes.size() - sizeof(TAEWaveHeader)) % 2 != 0) return false;
  std::memcpy(&out.Header, bytes.data(), sizeof out.Header);
  out.Samples.resize((bytes.size() - sizeof(TAEWaveHeader)) / 2);
  std::memcpy(out.Samples.data(), bytes.data() + sizeof(TAEWaveHeader), out.Samples.size() * 2);
  return true;
}

// The INI of an audio-mode agent: P pre-trigger samples, a window of L, the default
// sensor (a level of 33 counts).
inline TIniValues AudioIni(const TAETempDir& temp, std::uint16_t udpPort, std::int32_t rate, std::int32_t p,
                           std::int32_t l, std::int32_t deadMs) {
  return {{"Agent.AgentId", "9"},
          {"Agent.Source", " Audio "},
          {"Agent.SampleRateHz", std::to_string(rate)},
          {"Agent.SamplesPerHit", std::to_string(l)},
          {"Agent.DataRoot", temp.Str("Data")},
          {"Audio.PreTriggerSamples", std::to_string(p)},
          {"Audio.DeadTimeMs", std::to_string(deadMs)},
          {"Network.UdpHost", "127.0.0.1"},
          {"Network.UdpPort", std::to_string(udpPort)},
          {"Network.WaveServerPort", std::to_string(FreeLoopbackTcpPort())},
          {"Network.PingIntervalSec", "0"}};
}

inline std::unique_ptr<TVelkarn> MakeAgent(const TAETempDir& temp, const TIniValues& ini) {
  WriteFileBytes(temp.Path() / "Velkarn.ini", IniText(ini));
  return std::make_unique<TVelkarn>(temp.Str("Velkarn.ini"));
}

// Checks the hits that arrived against the model's windows: one record per window in
// order, numbered on from firstSeq, each with its hit file holding that window.
inline void ExpectHits(const std::vector<TAEHitRecord>& hits, const std::vector<TReferenceTrigger::TWindow>& want,
                       const std::string& dataRoot, std::uint32_t firstSeq, std::uint32_t rate) {
  ASSERT_EQ(hits.size(), want.size());
  for (std::size_t i = 0; i < hits.size(); ++i) {
    SCOPED_TRACE("hit " + std::to_string(i) + ", trigger at " + std::to_string(want[i].TriggerIdx));
    const TAEHitRecord& h = hits[i];
    EXPECT_EQ(h.AgentId, 9);
    EXPECT_EQ(h.Channel, 1);
    EXPECT_EQ(h.Seq, firstSeq + i);
    EXPECT_EQ(h.SampleRateHz, rate);
    EXPECT_EQ(h.SampleCount, want[i].Samples.size());
    EXPECT_EQ(h.Marker, 2);
    THitFile file;
    ASSERT_TRUE(ReadHitFile(HitFileName(dataRoot, 1, h.FileTime, h.Seq), file));
    EXPECT_EQ(std::memcmp(&file.Header.Hit, &h, sizeof h), 0) << "the file's record is the one sent";
    EXPECT_EQ(file.Header.TrueClass, kNoTrueClass);
    EXPECT_EQ(file.Samples, want[i].Samples);
  }
}

// The file that the device runs play, and the window shape they use.
inline constexpr std::int32_t kKnownRate = 16000, kKnownP = 128, kKnownL = 1024, kKnownDeadMs = 50;  // D = 800

// 1.5 s: a click at the very first sample, one just below the level, one whose trigger
// is the last sample of the device's second buffer, a pair closer than the dead time,
// and a steady tone.
inline std::vector<std::int16_t> KnownFile() {
  std::vector<std::int16_t> s = QuietStream(24000, 33, 11);
  AddClick(s, 0, 12000, 300);
  AddClick(s, 3000, 32, 300);
  AddClick(s, 2047 + 2048, -33, 1);  // 4095: the 1024-sample buffers of the input split it
  AddClick(s, 7000, 9000, 300);
  AddClick(s, 8000, 9000, 300);  // over by 8300, before the dead time ends at 8695
  AddClick(s, 9500, -20000, 300);
  AddTone(s, 15000, 10000, 1.0 / 16, 1000);  // over before the dead time ends
  return s;
}

// The model's windows for the known file and the device's silence after it.
inline std::vector<TReferenceTrigger::TWindow> KnownFileWindows() {
  std::vector<std::int16_t> stream = KnownFile();
  stream.resize(stream.size() + 2 * kKnownL, 0);
  return TReferenceTrigger{kKnownP, kKnownL, 33, kKnownRate * kKnownDeadMs / 1000}.Run(stream);
}

// Clicks are noise; the steady tone, which outlasts the window, is "unknown".
inline void ExpectKnownFileClasses(const std::vector<TAEHitRecord>& hits) {
  ASSERT_EQ(hits.size(), 5u);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(hits[i].HitClass, hcNoise);
    EXPECT_EQ(hits[i].SubCode, 2);
    EXPECT_EQ(hits[i].Confidence, 1.0f);
  }
  EXPECT_EQ(hits[4].HitClass, hcUnknown);
  EXPECT_EQ(hits[4].SubCode, 1);
  EXPECT_GT(hits[4].Confidence, 0.6f);
  EXPECT_LE(hits[4].Confidence, 0.99f);
}
