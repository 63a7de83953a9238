// The simulated installation: pressure cycle, Poisson hits per channel, the true class
// of each hit, and the pressure and temperature records.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "AERandom.h"
#include "AESynth.h"
#include "VelkarnCore.h"

std::int32_t PoissonRandom(double mean) {
  // NaN would never satisfy p <= L: treat it like a mean of 0.
  if (!(mean > 0)) {
    RandomFloat();
    return 0;
  }
  // For a huge mean L underflows to 0 and the loop ends once p underflows too (some 750
  // draws): the count is capped there instead of looping for ever.
  const double limit = std::exp(-mean);
  std::int32_t k = -1;
  double p = 1.0;
  do {
    ++k;
    p *= RandomFloat();
  } while (p > limit);
  return k;
}

void TVelkarn::SimulatePass(std::int64_t nowMs, double dtSec, std::stop_token stop) {
  UpdateProcess(static_cast<double>(nowMs) / 1000.0);
  for (std::int32_t c = 1; c <= FSettings.Channels; ++c) {
    if (FFailed[static_cast<std::size_t>(c)]) continue;
    const std::int32_t n = PoissonRandom(FSettings.HitsPerSecPerChannel * dtSec);
    for (std::int32_t i = 0; i < n; ++i) {
      // A burst can take seconds; a stop must not wait for it. Undrawn hits lose nothing.
      if (stop.stop_requested()) return;
      SimulateHit(c);
    }
  }
}

void TVelkarn::UpdateProcess(double t) {
  const double cycle = std::max(FSettings.PressureCycleSec, 10);
  const double x = t / cycle;
  const double ph = x - std::floor(x);
  const double base = FSettings.PressureBaseBar;
  const double swing = FSettings.PressureSwingBar;
  if (ph < 0.4) {
    FPressure = base + swing * ph / 0.4;
    FCrackFactor = 2.5;
  } else if (ph < 0.6) {
    FPressure = base + swing;
    FCrackFactor = 0.8;
  } else if (ph < 0.8) {
    FPressure = base + swing * (0.8 - ph) / 0.2;
    FCrackFactor = 0.2;
  } else {
    FPressure = base;
    FCrackFactor = 0.1;
  }
  FTemperature = FSettings.TemperatureBaseC + 5.0 * std::sin(6.283185307179586 * t / 600.0);
}

std::uint8_t TVelkarn::DrawTrueClass() {
  const double u = RandomFloat();
  const double crack = FSettings.CrackShare * FCrackFactor;
  if (u < crack) return hcCrack;
  if (u < crack + FSettings.LeakShare) return hcLeak;
  if (u < crack + FSettings.LeakShare + FSettings.ForeignShare) return hcUnknown;
  return hcNoise;
}

void TVelkarn::SimulateHit(std::int32_t ch) {
  const auto slot = static_cast<std::size_t>(ch);
  ++FSeq[slot];
  const std::uint8_t truth = DrawTrueClass();
  const double rate = static_cast<double>(FSettings.SampleRateHz);
  SynthesizeHit(truth, rate, FSettings.VoltsPerCount(), FSamples);
  TAEHitFeatures f;
  ExtractFeatures(FSamples, rate, FSettings.VoltsPerCount(), FSettings.ThresholdV(), f);

  auto r = NewRecord<TAEHitRecord>(FSettings.AgentId, static_cast<std::uint16_t>(ch), FSeq[slot], NowFileTime());
  const double windowUs = static_cast<double>(FSamples.size()) / rate * 1000000.0;
  f.Classify(windowUs, r.HitClass, r.SubCode, r.Confidence);
  EmitHit(ch, truth, r, f);
}

void TVelkarn::SendParams() {
  const double u1 = RandomFloat();
  SendParam(1, FPressure + (u1 - 0.5) * 0.2, 1);
  const double u2 = RandomFloat();
  SendParam(2, FTemperature + (u2 - 0.5) * 0.1, 2);
}

void TVelkarn::SendParam(std::uint16_t id, double value, std::uint8_t kind) {
  ++FParamSeq[id];
  auto r = NewRecord<TAEParamRecord>(FSettings.AgentId, id, FParamSeq[id], NowFileTime());
  r.Value = static_cast<float>(value);
  r.Kind = kind;
  InitParamRecord(r);
  try {
    SendRecord("param", {reinterpret_cast<const std::uint8_t*>(&r), sizeof r});
    ++FStats.ParamsSent;
  } catch (const std::exception&) {
    ++FStats.UdpErrors;  // not repeated: the receiver sees a gap in the sequence
  }
}
