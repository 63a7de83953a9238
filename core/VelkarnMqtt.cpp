// mqtt mode: the agent's MQTT client, its identity on the broker, the status topic and
// the waves. The records themselves leave through SendRecord (VelkarnOutput.cpp).
#include "VelkarnMqtt.h"

#include <cstdio>
#include <cstring>

#include "AEConsole.h"
#include "AEConvert.h"
#include "AEErrors.h"
#include "AEMqtt.h"
#include "VelkarnCore.h"
#include "VelkarnEvents.h"

namespace {

constexpr std::string_view kMqttScheme = "mqtt://";
constexpr std::string_view kTopicRoot = "kivu/";
constexpr std::string_view kStatusSuffix = "/status";  // the longest suffix

}  // namespace

void CheckMqttUser(const std::string& user) {
  const std::size_t room = kMqttMaxString - kTopicRoot.size() - kStatusSuffix.size();
  if (user.size() > room)
    throw EAEError("[Mqtt] User takes " + std::to_string(user.size()) + " bytes; the agent's topics leave room for " +
                   std::to_string(room));
  // Without the value: the console could not show it.
  if (const std::string problem = MqttStringProblem(user); !problem.empty())
    throw EAEError("[Mqtt] User " + problem);
  // Well-formed by now. A broker that ends the connection over a control character
  // (mosquitto does) would have the node retry for ever.
  unsigned code = 0;
  if (const std::size_t at = FindMqttControl(user, code); at != std::string::npos) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "U+%04X", code);
    throw EAEError("[Mqtt] User holds the control character " + std::string(hex) + " at offset " + std::to_string(at) +
                   ", which a broker may refuse");
  }
  const std::size_t wildcard = FindMqttWildcard(user);
  if (wildcard != std::string::npos)
    throw EAEError("[Mqtt] User=" + user + " holds \"" + user[wildcard] +
                   "\", an MQTT wildcard, which the agent's topics made from it may not");
}

std::optional<TAEMqttTcpEndpoint> ParseMqttTcpUrl(const std::string& url) {
  if (!StartsWithNoCase(url, kMqttScheme)) return std::nullopt;
  const std::string rest = url.substr(kMqttScheme.size());
  TAEMqttTcpEndpoint endpoint;
  const std::size_t colon = rest.find(':');
  endpoint.Host = rest.substr(0, colon);
  if (colon != std::string::npos) {
    const std::string portText = rest.substr(colon + 1);
    const std::int32_t port = StrToInt(portText);
    // Cut to 16 bits, 70000 would quietly lead to port 4464.
    if (port < 1 || port > 65535)
      throw EAEError("[Mqtt] Url=" + url + ": port " + portText + " is outside 1..65535");
    endpoint.Port = static_cast<std::uint16_t>(port);
  }
  if (endpoint.Host.empty()) throw EAEError("[Mqtt] Url=" + url + " names no host");
  return endpoint;
}

std::unique_ptr<IAEMqttTransport> CreateMqttTransport(const std::string& url) {
  if (const auto endpoint = ParseMqttTcpUrl(url)) return CreateTcpTransport(endpoint->Host, endpoint->Port);
  return CreateWssTransport(url);  // "wss://", "ws://" or no scheme
}

void TVelkarn::StartMqtt() {
  if (FSettings.MqttUser.empty() || FSettings.MqttPassword.empty())
    throw EAEError("Transport=mqtt needs [Mqtt] User and Password");
  CheckMqttUser(FSettings.MqttUser);
  std::unique_ptr<IAEMqttTransport> transport = CreateMqttTransport(FSettings.MqttUrl);
  TAEMqttOptions options = TAEMqttOptions::Default();
  options.ClientId = FSettings.MqttUser;
  options.User = FSettings.MqttUser;
  options.Password = FSettings.MqttPassword;
  options.KeepAliveSec = static_cast<std::uint16_t>(FSettings.MqttKeepAliveSec);
  options.WillTopic = MqttTopic(kStatusSuffix);
  const std::string_view offline = "offline";
  options.WillPayload.assign(offline.begin(), offline.end());
  options.WillRetain = true;
  FMqtt = std::make_unique<TAEMqttClient>(std::move(transport), options);
  FMqtt->OnLog = [](const std::string& line) { PrintMqttLog(line); };
  {
    std::lock_guard lock(FMqttStatusLock);
    FMqttStopping = false;
  }
  // Only queues: the client calls it on its own thread after each accepted CONNACK,
  // so "online" goes out behind whatever waited while the broker was away.
  FMqtt->OnConnected = [this] {
    std::lock_guard lock(FMqttStatusLock);
    if (!FMqttStopping) FMqtt->Publish(MqttTopic("/status"), std::string_view("online"), 1, true);
  };
  FMqtt->Start();
}

void TVelkarn::StopMqtt() {
  if (!FMqtt) return;
  // Connected, the client sends this and the rest of its queue before DISCONNECT, so
  // the broker drops the will and keeps "stopped"; otherwise it is lost with the queue.
  {
    std::lock_guard lock(FMqttStatusLock);
    FMqttStopping = true;
    FMqtt->Publish(MqttTopic("/status"), std::string_view("stopped"), 1, true);
  }
  FMqtt->Stop();
  FMqtt.reset();
}

bool TVelkarn::MqttStats(TAEMqttStats& s) const {
  if (!FMqtt) {
    s = TAEMqttStats{};
    return false;
  }
  s = FMqtt->Stats();
  return true;
}

std::string TVelkarn::MqttTopic(std::string_view suffix) const {
  std::string topic = std::string(kTopicRoot) + FSettings.MqttUser;
  topic += suffix;
  return topic;
}

void TVelkarn::PublishWave(const TAEWaveHeader& header) {
  if (!FMqtt || !FSettings.MqttSendWaves) return;
  // Fixed windows of one UTC second each, not a sliding window.
  const std::int64_t second = NowFileTime() / kTicksPerSecond;
  if (second != FWaveSecond) {
    FWaveSecond = second;
    FWavesThisSecond = 0;
  }
  if (FWavesThisSecond >= FSettings.MqttMaxWavesPerSec) return;
  ++FWavesThisSecond;
  const std::size_t sampleBytes = FSamples.size() * sizeof(std::int16_t);
  TAEBytes payload(sizeof header + sampleBytes);
  std::memcpy(payload.data(), &header, sizeof header);
  std::memcpy(payload.data() + sizeof header, FSamples.data(), sampleBytes);
  FMqtt->Publish(MqttTopic("/wave"), std::move(payload), 1, false);
}

void PrintMqttLog(const std::string& line) { ConsoleWriteLine(EventTime() + "  MQTT: " + line); }
