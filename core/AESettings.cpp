#include "AESettings.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

#include "AEConvert.h"
#include "AEErrors.h"
#include "AEFileSystem.h"
#include "AEIniFile.h"
#include "AELocale.h"

namespace {

class TReader {
 public:
  TReader(const TAEIniFile& ini, char decimalSeparator) : FIni(ini), FSep(decimalSeparator) {}

  std::int32_t Int(const char* section, const char* key, std::int32_t def) const {
    const auto text = FIni.Value(section, key);
    if (!text) return def;
    return TryStrToInt(*text).value_or(def);
  }
  double Float(const char* section, const char* key, double def) const {
    const auto text = FIni.Value(section, key);
    if (!text) return def;
    return TryStrToFloat(*text, FSep).value_or(def);
  }
  bool Bool(const char* section, const char* key, bool def) const { return Int(section, key, def ? 1 : 0) != 0; }
  std::string Text(const char* section, const char* key, const std::string& def) const {
    return FIni.Value(section, key).value_or(def);
  }

 private:
  const TAEIniFile& FIni;
  char FSep;
};

std::vector<std::string> SplitFailChannels(const std::string& text) {
  std::vector<std::string> pieces;
  std::string piece;
  for (const char c : text + ",") {
    if (c == ',' || c == ';' || c == ' ') {
      if (!piece.empty()) pieces.push_back(piece);
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  return pieces;
}

void RefuseNegative(const char* key, std::int32_t value) {
  if (value < 0)
    throw EAEError("[Agent] " + std::string(key) + "=" + std::to_string(value) + " is negative; it must be 0 or more");
}

}  // namespace

void TAESettings::Load(const std::string& iniPath) {
  LoadFrom(iniPath, ExtractFilePath(ExecutablePath()), LocaleDecimalSeparator());
}

void TAESettings::LoadFrom(const std::string& iniPath, const std::string& exeFolder, char sep) {
  TAEIniFile ini;
  std::string bytes;
  if (TryReadWholeFile(iniPath, bytes)) ini.Parse(DecodeIniBytes(bytes));
  const TReader r(ini, sep);

  AgentId = static_cast<std::uint16_t>(r.Int("Agent", "AgentId", 1));
  Channels = r.Int("Agent", "Channels", 16);
  HitsPerSecPerChannel = r.Float("Agent", "HitsPerSecPerChannel", 5.0);
  SampleRateHz = static_cast<std::uint32_t>(r.Int("Agent", "SampleRateHz", 2000000));
  SamplesPerHit = r.Int("Agent", "SamplesPerHit", 4096);
  DataRoot = r.Text("Agent", "DataRoot", exeFolder + "Data");
  RetentionHours = r.Int("Agent", "RetentionHours", 24);

  UdpHost = r.Text("Network", "UdpHost", "127.0.0.1");
  UdpPort = static_cast<std::uint16_t>(r.Int("Network", "UdpPort", 47100));
  WaveServerPort = static_cast<std::uint16_t>(r.Int("Network", "WaveServerPort", 47101));
  PingIntervalSec = r.Int("Network", "PingIntervalSec", 60);

  CrackShare = r.Float("Simulation", "CrackShare", 0.15);
  LeakShare = r.Float("Simulation", "LeakShare", 0.25);
  ForeignShare = r.Float("Simulation", "ForeignShare", 0.05);
  const std::string failText = r.Text("Simulation", "FailChannels", "");
  FailAfterSec = r.Int("Simulation", "FailAfterSec", 120);
  ParamIntervalMs = r.Int("Parametric", "IntervalMs", 1000);
  PressureBaseBar = r.Float("Parametric", "PressureBaseBar", 40.0);
  PressureSwingBar = r.Float("Parametric", "PressureSwingBar", 20.0);
  PressureCycleSec = r.Int("Parametric", "PressureCycleSec", 180);
  TemperatureBaseC = r.Float("Parametric", "TemperatureBaseC", 25.0);

  FailChannels.clear();
  for (const std::string& piece : SplitFailChannels(failText)) FailChannels.push_back(StrToInt(piece));

  ThresholdDb = r.Float("Sensor", "ThresholdDb", 40.0);
  PreampDb = r.Float("Sensor", "PreampDb", 40.0);
  DaqFullScaleV = r.Float("Sensor", "DaqFullScaleV", 10.0);

  Source = LowerAscii(Trim(r.Text("Agent", "Source", "sim")));

  AudioDevice = r.Int("Audio", "Device", -1);
  PreTriggerSamples = std::max(r.Int("Audio", "PreTriggerSamples", 512), 16);
  DeadTimeMs = std::max(r.Int("Audio", "DeadTimeMs", 250), 0);
  if (IsAudio()) {
    Channels = 1;
    // 2 * PreTriggerSamples in 64 bits: a huge PreTriggerSamples must not wrap negative.
    const std::int64_t twice = 2 * static_cast<std::int64_t>(PreTriggerSamples);
    if (SamplesPerHit < twice) SamplesPerHit = static_cast<std::int32_t>(std::min<std::int64_t>(twice, INT32_MAX));
  }

  Transport = LowerAscii(Trim(r.Text("Network", "Transport", "udp")));

  MqttUrl = r.Text("Mqtt", "Url", kDefaultMqttUrl);
  MqttUser = r.Text("Mqtt", "User", "");
  MqttPassword = r.Text("Mqtt", "Password", "");
  MqttSendWaves = r.Bool("Mqtt", "SendWaves", true);
  MqttMaxWavesPerSec = r.Int("Mqtt", "MaxWavesPerSec", 5);
  MqttKeepAliveSec = std::clamp(r.Int("Mqtt", "KeepAliveSec", 20), 5, 600);

  CompanyName = Trim(r.Text("Company", "Name", ""));
  CompanyId = Trim(r.Text("Company", "Id", ""));
  ConsoleUrl = Trim(r.Text("Company", "ConsoleUrl", kDefaultConsoleUrl));
  SignInLink = Trim(r.Text("Company", "SignInLink", ""));
  if (!StartsWithNoCase(SignInLink, "https://")) SignInLink.clear();

  if (IsMqtt() && StartsWithNoCase(MqttUser, "agent"))
    AgentId = static_cast<std::uint16_t>(TryStrToInt(MqttUser.substr(5)).value_or(AgentId));

  // The agent sizes its per-channel tables and its hit window from these.
  RefuseNegative("Channels", Channels);
  RefuseNegative("SamplesPerHit", SamplesPerHit);

  if (FileExists(iniPath)) return;  // an existing file is never changed
  TAEIniFile out;
  const auto i = [](std::int64_t v) { return std::to_string(v); };
  const auto f = [sep](double v) { return FloatToStr(v, sep); };
  out.Append("Agent", "AgentId", i(AgentId));
  out.Append("Agent", "Channels", i(Channels));
  out.Append("Agent", "HitsPerSecPerChannel", f(HitsPerSecPerChannel));
  out.Append("Agent", "SampleRateHz", i(static_cast<std::int32_t>(SampleRateHz)));
  out.Append("Agent", "SamplesPerHit", i(SamplesPerHit));
  out.Append("Agent", "DataRoot", DataRoot);
  out.Append("Agent", "RetentionHours", i(RetentionHours));
  out.Append("Network", "UdpHost", UdpHost);
  out.Append("Network", "UdpPort", i(UdpPort));
  out.Append("Network", "WaveServerPort", i(WaveServerPort));
  out.Append("Network", "PingIntervalSec", i(PingIntervalSec));
  out.Append("Simulation", "CrackShare", f(CrackShare));
  out.Append("Simulation", "LeakShare", f(LeakShare));
  out.Append("Simulation", "ForeignShare", f(ForeignShare));
  out.Append("Simulation", "FailChannels", failText);
  out.Append("Simulation", "FailAfterSec", i(FailAfterSec));
  out.Append("Parametric", "IntervalMs", i(ParamIntervalMs));
  out.Append("Parametric", "PressureBaseBar", f(PressureBaseBar));
  out.Append("Parametric", "PressureSwingBar", f(PressureSwingBar));
  out.Append("Parametric", "PressureCycleSec", i(PressureCycleSec));
  out.Append("Parametric", "TemperatureBaseC", f(TemperatureBaseC));
  out.Append("Sensor", "ThresholdDb", f(ThresholdDb));
  out.Append("Sensor", "PreampDb", f(PreampDb));
  out.Append("Sensor", "DaqFullScaleV", f(DaqFullScaleV));
  out.Append("Network", "Transport", Transport);
  out.Append("Mqtt", "Url", MqttUrl);
  out.Append("Mqtt", "User", MqttUser);
  out.Append("Mqtt", "Password", MqttPassword);
  out.Append("Mqtt", "SendWaves", MqttSendWaves ? "1" : "0");
  out.Append("Mqtt", "MaxWavesPerSec", i(MqttMaxWavesPerSec));
  out.Append("Mqtt", "KeepAliveSec", i(MqttKeepAliveSec));
  WriteWholeFile(iniPath, Utf8ToAnsi(out.Text()));
}

double TAESettings::VoltsPerCount() const { return DaqFullScaleV / 32768.0 / std::pow(10.0, PreampDb / 20.0); }

double TAESettings::ThresholdV() const { return std::pow(10.0, ThresholdDb / 20.0) * 1e-6; }

std::string TAESettings::ConsoleLink() const {
  if (!SignInLink.empty()) return SignInLink;
  if (ConsoleUrl.empty()) return {};
  std::string tenant;
  for (const char c : CompanyId)
    if (c == '-' || c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
      tenant.push_back(c);
  if (tenant.empty()) return ConsoleUrl;
  return ConsoleUrl + (ConsoleUrl.find('?') != std::string::npos ? "&tenant=" : "?tenant=") + tenant;
}
