// Shared pieces of the agent tests: an INI writer, datagram decoding, and a probe that
// drives single passes of the generator loop with the test's own clock.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AEProtocol.h"
#include "AERandom.h"
#include "AETestUdp.h"
#include "VelkarnCore.h"
#include "common/AETestTemp.h"

class TVelkarnProbe {
 public:
  explicit TVelkarnProbe(TVelkarn& agent) : FAgent(agent) { FAgent.BeginRun(); }
  bool Pass(std::int64_t nowMs, std::stop_token stop = {}) { return FAgent.RunPass(FLoop, nowMs, stop); }
  std::uint32_t Seq(int ch) const { return FAgent.FSeq[static_cast<std::size_t>(ch)]; }
  std::uint32_t PingSeq(int ch) const { return FAgent.FPingSeq[static_cast<std::size_t>(ch)]; }
  bool Failed(int ch) const { return FAgent.FFailed[static_cast<std::size_t>(ch)]; }
  void UpdateProcess(double t) { FAgent.UpdateProcess(t); }
  void SetCrackFactor(double f) { FAgent.FCrackFactor = f; }
  std::uint8_t DrawTrueClass() { return FAgent.DrawTrueClass(); }
  double Pressure() const { return FAgent.FPressure; }
  double CrackFactor() const { return FAgent.FCrackFactor; }
  double Temperature() const { return FAgent.FTemperature; }
  // The MQTT client alone, without the generator thread that Start would add.
  void StartMqtt() { FAgent.StartMqtt(); }
  // The agent's UDP sender made afresh with the test's resolver and retry interval;
  // before Start only.
  void UseUdpResolver(TAEUdpSender::TResolver resolver, std::chrono::milliseconds retry) {
    FAgent.FUdp = FAgent.MakeUdpSender(std::move(resolver), retry);
  }

 private:
  TVelkarn& FAgent;
  TVelkarn::TLoopState FLoop;
};

// "Section.Key" -> value; the defaults below are overridden or extended by it.
using TIniValues = std::map<std::string, std::string>;

inline std::string IniText(TIniValues values) {
  // Tests run side by side: a wave server they start listens on a port of its own.
  values.try_emplace("Network.WaveServerPort", "0");
  std::map<std::string, std::map<std::string, std::string>> sections;
  for (const auto& [name, value] : values) {
    const auto dot = name.find('.');
    sections[name.substr(0, dot)][name.substr(dot + 1)] = value;
  }
  std::string text;
  for (const auto& [section, keys] : sections) {
    text += "[" + section + "]\r\n";
    for (const auto& [key, value] : keys) text += key + "=" + value + "\r\n";
  }
  return text;
}

// Writes Velkarn.ini in the folder from values with over applied on top, and creates an
// agent from it with the process-wide generator seeded to a fixed value.
inline std::unique_ptr<TVelkarn> MakeSeededAgent(const TAETempDir& folder, TIniValues values,
                                                 const TIniValues& over) {
  for (const auto& [k, val] : over) values[k] = val;
  WriteFileBytes(folder.Path() / "Velkarn.ini", IniText(values));
  auto agent = std::make_unique<TVelkarn>(folder.Str("Velkarn.ini"));
  RandomSeed(12345);
  return agent;
}

struct TDatagrams {
  std::vector<TAEHitRecord> Hits;
  std::vector<TAEPingRecord> Pings;
  std::vector<TAEParamRecord> Params;
  std::vector<std::string> Bad;  // what did not decode, with the reason
};

template <typename T>
bool DecodeAs(const std::vector<std::uint8_t>& d, std::uint32_t magic, T& out, std::uint32_t (*crc)(const T&),
              std::vector<std::string>& bad) {
  std::uint32_t m = 0;
  std::memcpy(&m, d.data(), 4);
  if (m != magic) return false;
  if (d.size() != sizeof(T)) {
    bad.push_back("size " + std::to_string(d.size()));
    return true;
  }
  std::memcpy(&out, d.data(), sizeof(T));
  if (out.Version != 1 || out.Size != sizeof(T) || crc(out) != out.Crc) bad.push_back("seal");
  return true;
}

inline void Decode(const std::vector<std::uint8_t>& d, TDatagrams& out) {
  if (d.size() < 4) {
    out.Bad.push_back("short datagram");
    return;
  }
  TAEHitRecord h;
  TAEPingRecord p;
  TAEParamRecord q;
  const std::size_t bad = out.Bad.size();
  if (DecodeAs(d, kHitMagic, h, HitRecordCrc, out.Bad)) {
    if (out.Bad.size() == bad) out.Hits.push_back(h);
  } else if (DecodeAs(d, kPingMagic, p, PingRecordCrc, out.Bad)) {
    if (out.Bad.size() == bad) out.Pings.push_back(p);
  } else if (DecodeAs(d, kParamMagic, q, ParamRecordCrc, out.Bad)) {
    if (out.Bad.size() == bad) out.Params.push_back(q);
  } else {
    out.Bad.push_back("unknown magic");
  }
}

// Everything that has arrived (the agent sends synchronously, so it is queued already).
inline TDatagrams DrainDatagrams(TTestUdpReceiver& udp, int quietMs = 200) {
  TDatagrams out;
  std::vector<std::uint8_t> d;
  while (udp.Receive(d, quietMs)) Decode(d, out);
  return out;
}
