// The broker URL of mqtt mode: which transport it names and where it leads; the check
// of the login that names the agent's topics.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "AEMqttTransport.h"

inline constexpr std::uint16_t kMqttDefaultPort = 1883;

struct TAEMqttTcpEndpoint {
  std::string Host;
  std::uint16_t Port = kMqttDefaultPort;
};

// "mqtt://host[:port]" (scheme in any case): the host and the port (1883 without a
// colon). Nothing for any other URL (a WebSocket one). Raises EAEConvertError "'<text>'
// is not a valid integer value" when the text after the first colon is no integer, and
// EAEError when the host is empty or the port lies outside 1..65535.
std::optional<TAEMqttTcpEndpoint> ParseMqttTcpUrl(const std::string& url);

// The transport the URL names: TCP for "mqtt://", a WebSocket otherwise. Raises what
// the URL's reading raises. Connects nothing.
std::unique_ptr<IAEMqttTransport> CreateMqttTransport(const std::string& url);

// Raises EAEError naming [Mqtt] User and its fault when the user name cannot be the
// agent's MQTT login and topic level: not well-formed UTF-8, U+0000, a wildcard ("+",
// "#"), or too long for its topics. An empty name passes (StartMqtt refuses it itself).
void CheckMqttUser(const std::string& user);

// The MQTT client's log handler: an event line "hh:nn:ss  MQTT: <line>". Any thread.
void PrintMqttLog(const std::string& line);
