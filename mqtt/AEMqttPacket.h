// The byte level of the MQTT 3.1.1 client: builders for every packet the client
// writes, the reader that cuts whole packets off the receive buffer, and the parsers
// of the packets it acts on (CONNACK, PUBLISH, SUBACK).
//
// Builders keep no state and work on buffers their caller owns: any thread may use them.
// Readers check the remaining bytes before every read and never look past a buffer;
// malformed input raises EAEProtocolError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "AEErrors.h"

using TAEBytes = std::vector<std::uint8_t>;

struct TAEMqttOptions;

// Packet types (high nibble of the header byte), those written and those read.
inline constexpr std::uint8_t kMqttConnect = 1;
inline constexpr std::uint8_t kMqttConnack = 2;
inline constexpr std::uint8_t kMqttPublish = 3;
inline constexpr std::uint8_t kMqttPuback = 4;
inline constexpr std::uint8_t kMqttSubscribe = 8;
inline constexpr std::uint8_t kMqttSuback = 9;
inline constexpr std::uint8_t kMqttPingreq = 12;
inline constexpr std::uint8_t kMqttDisconnect = 14;

// The header byte of a packet of that type with those flags (low nibble).
constexpr std::uint8_t MqttHeader(std::uint8_t type, std::uint8_t flags = 0) {
  return static_cast<std::uint8_t>(type << 4 | flags);
}

// The longest MQTT string, in UTF-8 bytes.
inline constexpr std::size_t kMqttMaxString = 65535;
// The largest remaining length that four length bytes can carry.
inline constexpr std::size_t kMqttMaxRemaining = 268435455;

// Raised when a packet cannot be built as MQTT allows (a string that is too long or
// not well-formed, a wildcard in a topic name, a packet too large); the packet under
// construction is abandoned. Its own type so that the client can tell a message that
// can never be built from a broken connection.
class EAEMqttUnbuildable : public EAEError {
 public:
  using EAEError::EAEError;
};

class EAEMqttStringTooLong : public EAEMqttUnbuildable {
 public:
  EAEMqttStringTooLong() : EAEMqttUnbuildable("MQTT: string too long") {}
};

// Why a text cannot be an MQTT string, as words that follow its name ("takes 65536
// bytes, ...", "is not well-formed UTF-8: ...", "holds U+0000, ..."); "" when it can.
std::string MqttStringProblem(std::string_view text);
// Where the first wildcard ("+" or "#") of a text is, or npos.
std::size_t FindMqttWildcard(std::string_view text);
// Where the first C0 or C1 control character (U+0001..U+001F, U+007F..U+009F) of a
// well-formed UTF-8 text begins, npos when none; code is set to it. MQTT advises against
// sending them, and a broker may end the connection over one.
std::size_t FindMqttControl(std::string_view text, unsigned& code);
// The same as MqttStringProblem for a topic name, which also must not hold a wildcard.
std::string MqttTopicProblem(std::string_view topic);
// Why a PUBLISH of this topic, payload size and QoS cannot be built: the topic's problem
// ("topic ..."), or a packet too large ("would take ..."); "" when it can. Only QoS
// above 0 carries the two bytes of a packet identifier.
std::string PublishProblem(std::string_view topic, std::size_t payloadSize, std::uint8_t qos);

void AppendBytes(TAEBytes& buf, std::span<const std::uint8_t> data);
void AppendByte(TAEBytes& buf, std::uint8_t value);
// High byte first.
void AppendWordBE(TAEBytes& buf, std::uint16_t value);
// The 16-bit value that AppendWordBE wrote at offset. REQUIRES: offset + 2 <= bytes.size().
std::uint16_t ReadWordBE(std::span<const std::uint8_t> bytes, std::size_t offset);
// Text is UTF-8 already; raises (appending nothing) EAEMqttStringTooLong above 65535
// bytes, EAEMqttUnbuildable for ill-formed UTF-8 or U+0000.
void AppendMqttString(TAEBytes& buf, std::string_view text);
// Header byte, remaining length of body, body. Raises EAEMqttUnbuildable for a body
// above kMqttMaxRemaining.
TAEBytes BuildPacket(std::uint8_t header, std::span<const std::uint8_t> body);
// The remaining-length bytes alone (7 bits per byte, least significant group first).
TAEBytes EncodeRemainingLength(std::uint32_t value);

// The password goes as binary data: any bytes, at most 65535.
TAEBytes BuildConnect(const TAEMqttOptions& options);
// One topic filter per packet; QoS above 1 is asked as 1.
TAEBytes BuildSubscribe(std::uint16_t packetId, std::string_view filter, std::uint8_t qos);
// QoS 0 goes out as QoS 0 without identifier; any other value as QoS 1 with packetId.
// Raises EAEMqttUnbuildable (EAEMqttStringTooLong for a long topic) when PublishProblem
// finds one.
TAEBytes BuildPublish(std::string_view topic, std::span<const std::uint8_t> payload, std::uint8_t qos, bool retain,
                      std::uint16_t packetId);
// The identifier bytes exactly as the PUBLISH carried them.
TAEBytes BuildPubAck(std::uint8_t idHigh, std::uint8_t idLow);
TAEBytes BuildPingReq();
TAEBytes BuildDisconnect();

// Adds 1 with 16-bit wrap-around, skipping 0, stores and returns it.
std::uint16_t NextPacketId(std::uint16_t& last);

struct TAEMqttPacket {
  std::uint8_t Type = 0;
  std::uint8_t Flags = 0;
  TAEBytes Body;
};

// The remaining length announced by the packet at index head, as soon as its length
// bytes have all arrived (true; lenBytes is their number), before its body has. False
// while they are incomplete. Raises "malformed packet length" as TryTakePacket does.
bool PeekRemainingLength(const TAEBytes& buf, std::size_t head, std::uint32_t& value, std::size_t& lenBytes);

// Cuts one whole packet off buf, starting at index head (bytes before it are already
// taken). True and head advanced past the packet when one is complete; false and
// nothing changed otherwise. Raises "malformed packet length" as soon as a fourth
// length byte announces a fifth, leaving buf and head as they were.
bool TryTakePacket(const TAEBytes& buf, std::size_t& head, TAEMqttPacket& packet);
// The same on a plain buffer: the packet's bytes are removed from its front.
bool TryTakePacket(TAEBytes& buf, TAEMqttPacket& packet);

struct TAEConnackResult {
  bool Accepted = false;
  bool Empty = false;  // no body at all: a refusal without any code
  int Code = 0;        // the last byte of the body when refused
};
TAEConnackResult ParseConnack(std::span<const std::uint8_t> body);

// A body of at least 3 bytes ending in 0x80; anything else counts as granted.
bool IsSubackRefusal(std::span<const std::uint8_t> body);

struct TAEIncomingPublish {
  std::string Topic;
  std::uint8_t QoS = 0;
  bool HasPacketId = false;
  std::uint8_t IdHigh = 0, IdLow = 0;
  TAEBytes Payload;
};
// False: the packet is to be ignored (body under 2 bytes, or QoS above 0 without room
// for the identifier). Raises EAEProtocolError when the topic runs past the body or is
// not valid UTF-8.
bool ParseIncomingPublish(std::uint8_t flags, std::span<const std::uint8_t> body, TAEIncomingPublish& out);

bool IsValidUtf8(std::span<const std::uint8_t> bytes);
// Offset of the first byte that breaks UTF-8 (overlong forms, surrogates and values
// past U+10FFFF included), or npos when the bytes are well-formed.
std::size_t FindUtf8Fault(std::span<const std::uint8_t> bytes);
