// The node's whole configuration, loaded once from the INI file beside the executable
// and read-only afterwards (read without a lock from every thread).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kDefaultMqttUrl = "wss://broker.kivu.invalid/mqtt";
inline constexpr const char* kDefaultConsoleUrl = "https://console.kivu.invalid/";

struct TAESettings {
  std::uint16_t AgentId = 0;
  std::int32_t Channels = 0;
  double HitsPerSecPerChannel = 0;
  std::uint32_t SampleRateHz = 0;
  std::int32_t SamplesPerHit = 0;
  std::string DataRoot;
  std::int32_t RetentionHours = 0;
  std::string UdpHost;
  std::uint16_t UdpPort = 0;
  std::uint16_t WaveServerPort = 0;
  std::int32_t PingIntervalSec = 0;
  double CrackShare = 0;
  double LeakShare = 0;
  double ForeignShare = 0;
  std::vector<std::int32_t> FailChannels;
  std::int32_t FailAfterSec = 0;
  std::int32_t ParamIntervalMs = 0;
  double PressureBaseBar = 0;
  double PressureSwingBar = 0;
  std::int32_t PressureCycleSec = 0;
  double TemperatureBaseC = 0;
  double ThresholdDb = 0;
  double PreampDb = 0;
  double DaqFullScaleV = 0;
  std::string Source;
  std::int32_t AudioDevice = 0;
  std::int32_t PreTriggerSamples = 0;
  std::int32_t DeadTimeMs = 0;
  std::string Transport;
  std::string MqttUrl;
  std::string MqttUser;
  std::string MqttPassword;
  bool MqttSendWaves = false;
  std::int32_t MqttMaxWavesPerSec = 0;
  std::int32_t MqttKeepAliveSec = 0;
  std::string CompanyName;
  std::string CompanyId;
  std::string ConsoleUrl;
  std::string SignInLink;

  // Fills every field from the INI file (defaults for what is missing) and writes the
  // file when it does not exist. Raises EAEConvertError for a bad FailChannels piece,
  // EAEError for a negative Channels or SamplesPerHit, EAEFileError when the file
  // cannot be read or created; the record must not be used then.
  void Load(const std::string& iniPath);

  // As Load, with the data root's default folder and the decimal separator given
  // (Load takes them from the executable and the user's locale).
  void LoadFrom(const std::string& iniPath, const std::string& exeFolder, char decimalSeparator);

  double VoltsPerCount() const;
  double ThresholdV() const;
  bool IsMqtt() const { return Transport == "mqtt"; }
  bool IsAudio() const { return Source == "audio"; }
  std::string ConsoleLink() const;
};
