#include "AEMqttPacket.h"

#include "AEMqttOptions.h"

void AppendBytes(TAEBytes& buf, std::span<const std::uint8_t> data) {
  buf.insert(buf.end(), data.begin(), data.end());
}

void AppendByte(TAEBytes& buf, std::uint8_t value) { buf.push_back(value); }

void AppendWordBE(TAEBytes& buf, std::uint16_t value) {
  buf.push_back(static_cast<std::uint8_t>(value >> 8));
  buf.push_back(static_cast<std::uint8_t>(value));
}

std::uint16_t ReadWordBE(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

namespace {

std::span<const std::uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string HexByte(std::uint8_t b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return std::string("$") + kDigits[b >> 4] + kDigits[b & 15];
}

// Length and bytes, without any check of what the bytes are.
void AppendMqttBinary(TAEBytes& buf, std::string_view data) {
  if (data.size() > kMqttMaxString) throw EAEMqttStringTooLong();
  AppendWordBE(buf, static_cast<std::uint16_t>(data.size()));
  buf.insert(buf.end(), data.begin(), data.end());
}

void ThrowFor(std::string_view text, const std::string& problem) {
  if (text.size() > kMqttMaxString) throw EAEMqttStringTooLong();
  throw EAEMqttUnbuildable("MQTT: a string that " + problem);
}

}  // namespace

std::string MqttStringProblem(std::string_view text) {
  if (text.size() > kMqttMaxString)
    return "takes " + std::to_string(text.size()) + " bytes, more than the 65535 an MQTT string can hold";
  const std::size_t fault = FindUtf8Fault(BytesOf(text));
  if (fault != std::string_view::npos)
    return "is not well-formed UTF-8: byte " + HexByte(static_cast<std::uint8_t>(text[fault])) + " at offset " +
           std::to_string(fault);
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos)
    return "holds U+0000 at offset " + std::to_string(nul) + ", which no MQTT string may";
  return "";
}

std::size_t FindMqttWildcard(std::string_view text) { return text.find_first_of("+#"); }

std::size_t FindMqttControl(std::string_view text, unsigned& code) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      code = c;
      return i;
    }
    // U+0080..U+009F are C2 80..C2 9F in UTF-8.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      code = static_cast<unsigned char>(text[i + 1]);
      return i;
    }
  }
  return std::string_view::npos;
}

std::string MqttTopicProblem(std::string_view topic) {
  std::string problem = MqttStringProblem(topic);
  if (!problem.empty()) return problem;
  const std::size_t wildcard = FindMqttWildcard(topic);
  if (wildcard != std::string_view::npos)
    return std::string("holds the wildcard \"") + topic[wildcard] + "\", which no topic name may";
  return "";
}

std::string PublishProblem(std::string_view topic, std::size_t payloadSize, std::uint8_t qos) {
  const std::string problem = MqttTopicProblem(topic);
  if (!problem.empty()) return "topic " + problem;
  const std::size_t bodySize = 2 + topic.size() + (qos > 0 ? 2 : 0) + payloadSize;
  if (payloadSize > kMqttMaxRemaining || bodySize > kMqttMaxRemaining)
    return "would take " + std::to_string(bodySize) + " bytes after its header, more than the 268435455 an MQTT " +
           "packet can hold";
  return "";
}

void AppendMqttString(TAEBytes& buf, std::string_view text) {
  const std::string problem = MqttStringProblem(text);
  if (!problem.empty()) ThrowFor(text, problem);
  AppendMqttBinary(buf, text);
}

namespace {

void AppendRemainingLength(TAEBytes& out, std::uint32_t value) {
  do {
    std::uint8_t b = value % 128;
    value /= 128;
    if (value > 0) b |= 0x80;
    out.push_back(b);
  } while (value > 0);
}

}  // namespace

TAEBytes EncodeRemainingLength(std::uint32_t value) {
  TAEBytes out;
  AppendRemainingLength(out, value);
  return out;
}

TAEBytes BuildPacket(std::uint8_t header, std::span<const std::uint8_t> body) {
  if (body.size() > kMqttMaxRemaining)
    throw EAEMqttUnbuildable("MQTT: a packet of " + std::to_string(body.size()) +
                             " bytes after its header, more than the 268435455 MQTT allows");
  TAEBytes out;
  out.reserve(body.size() + 5);
  out.push_back(header);
  AppendRemainingLength(out, static_cast<std::uint32_t>(body.size()));
  AppendBytes(out, body);
  return out;
}

TAEBytes BuildConnect(const TAEMqttOptions& o) {
  const bool hasWill = !o.WillTopic.empty();
  const bool hasUser = !o.User.empty();
  const bool hasPassword = hasUser && !o.Password.empty();
  std::uint8_t flags = 0;
  if (hasUser) flags |= 0x80;
  if (hasPassword) flags |= 0x40;
  if (hasWill && o.WillRetain) flags |= 0x20;
  if (hasWill) flags |= 0x04;
  if (o.CleanSession) flags |= 0x02;

  TAEBytes body;
  AppendMqttString(body, "MQTT");
  AppendByte(body, 4);
  AppendByte(body, flags);
  AppendWordBE(body, o.KeepAliveSec);
  AppendMqttString(body, o.ClientId);
  if (hasWill) {
    if (const std::string problem = MqttTopicProblem(o.WillTopic); !problem.empty())
      ThrowFor(o.WillTopic, problem);
    AppendMqttString(body, o.WillTopic);
    // The will is a short text; only the low 16 bits of its length fit the field.
    AppendWordBE(body, static_cast<std::uint16_t>(o.WillPayload.size()));
    AppendBytes(body, o.WillPayload);
  }
  if (hasUser) AppendMqttString(body, o.User);
  if (hasPassword) AppendMqttBinary(body, o.Password);
  return BuildPacket(MqttHeader(kMqttConnect), body);
}

TAEBytes BuildSubscribe(std::uint16_t packetId, std::string_view filter, std::uint8_t qos) {
  TAEBytes body;
  AppendWordBE(body, packetId);
  AppendMqttString(body, filter);
  AppendByte(body, qos > 0 ? 1 : 0);
  return BuildPacket(MqttHeader(kMqttSubscribe, 0x2), body);
}

TAEBytes BuildPublish(std::string_view topic, std::span<const std::uint8_t> payload, std::uint8_t qos, bool retain,
                      std::uint16_t packetId) {
  const std::string problem = PublishProblem(topic, payload.size(), qos);
  if (!problem.empty()) {
    if (topic.size() > kMqttMaxString) throw EAEMqttStringTooLong();
    throw EAEMqttUnbuildable("MQTT: a PUBLISH whose " + problem);
  }
  const std::uint8_t q = qos > 0 ? 1 : 0;
  // Written in one buffer of the final size: this is the path every message takes.
  const std::size_t bodySize = 2 + topic.size() + (q > 0 ? 2 : 0) + payload.size();
  TAEBytes out;
  out.reserve(1 + 4 + bodySize);
  out.push_back(MqttHeader(kMqttPublish, static_cast<std::uint8_t>(2 * q + (retain ? 1 : 0))));
  AppendRemainingLength(out, static_cast<std::uint32_t>(bodySize));
  AppendMqttBinary(out, topic);  // checked above
  if (q > 0) AppendWordBE(out, packetId);
  AppendBytes(out, payload);
  return out;
}

TAEBytes BuildPubAck(std::uint8_t idHigh, std::uint8_t idLow) { return {MqttHeader(kMqttPuback), 0x02, idHigh, idLow}; }
TAEBytes BuildPingReq() { return {MqttHeader(kMqttPingreq), 0x00}; }
TAEBytes BuildDisconnect() { return {MqttHeader(kMqttDisconnect), 0x00}; }

std::uint16_t NextPacketId(std::uint16_t& last) {
  ++last;  // wraps at 65535
  if (last == 0) last = 1;
  return last;
}

bool PeekRemainingLength(const TAEBytes& buf, std::size_t head, std::uint32_t& value, std::size_t& lenBytes) {
  if (head > buf.size() || buf.size() - head < 2) return false;
  const std::size_t avail = buf.size() - head;
  value = 0;
  std::uint32_t multiplier = 1;
  lenBytes = 0;
  for (;;) {
    if (1 + lenBytes >= avail) return false;  // next length byte not here yet
    const std::uint8_t b = buf[head + 1 + lenBytes];
    ++lenBytes;
    value += static_cast<std::uint32_t>(b & 0x7F) * multiplier;
    if ((b & 0x80) == 0) return true;
    if (lenBytes == 4) throw EAEProtocolError("malformed packet length");
    multiplier *= 128;
  }
}

bool TryTakePacket(const TAEBytes& buf, std::size_t& head, TAEMqttPacket& packet) {
  std::uint32_t value;
  std::size_t lenBytes;
  if (!PeekRemainingLength(buf, head, value, lenBytes)) return false;
  const std::size_t avail = buf.size() - head;
  const std::size_t h = 1 + lenBytes;
  if (avail - h < value) return false;
  const std::uint8_t first = buf[head];
  packet.Type = first >> 4;
  packet.Flags = first & 0x0F;
  const auto bodyBegin = buf.begin() + static_cast<std::ptrdiff_t>(head + h);
  packet.Body.assign(bodyBegin, bodyBegin + value);
  head += h + value;
  return true;
}

bool TryTakePacket(TAEBytes& buf, TAEMqttPacket& packet) {
  std::size_t head = 0;
  if (!TryTakePacket(static_cast<const TAEBytes&>(buf), head, packet)) return false;
  buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(head));
  return true;
}

TAEConnackResult ParseConnack(std::span<const std::uint8_t> body) {
  TAEConnackResult r;
  if (body.empty()) {
    r.Empty = true;
    return r;
  }
  r.Accepted = body.size() >= 2 && body[1] == 0;
  if (!r.Accepted) r.Code = body.back();
  return r;
}

bool IsSubackRefusal(std::span<const std::uint8_t> body) { return body.size() >= 3 && body.back() == 0x80; }

bool IsValidUtf8(std::span<const std::uint8_t> s) { return FindUtf8Fault(s) == std::string_view::npos; }

std::size_t FindUtf8Fault(std::span<const std::uint8_t> s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const std::uint8_t c = s[i];
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return i;
    }
    if (s.size() - i - 1 < n) return i;
    for (std::size_t k = 1; k <= n; ++k) {
      const std::uint8_t cc = s[i + k];
      if ((cc & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += n + 1;
  }
  return std::string_view::npos;
}

bool ParseIncomingPublish(std::uint8_t flags, std::span<const std::uint8_t> body, TAEIncomingPublish& out) {
  if (body.size() < 2) return false;
  const std::size_t topicLen = ReadWordBE(body, 0);
  if (topicLen > body.size() - 2) throw EAEProtocolError("MQTT: PUBLISH topic runs past the end of the packet");
  const auto topic = body.subspan(2, topicLen);
  if (!IsValidUtf8(topic)) throw EAEProtocolError("MQTT: PUBLISH topic is not valid UTF-8");
  std::size_t p = 2 + topicLen;
  const std::uint8_t qos = (flags >> 1) & 3;
  out.QoS = qos;
  out.HasPacketId = false;
  if (qos > 0) {
    if (body.size() < p + 2) return false;
    out.HasPacketId = true;
    out.IdHigh = body[p];
    out.IdLow = body[p + 1];
    p += 2;
  }
  out.Topic.assign(topic.begin(), topic.end());
  out.Payload.assign(body.begin() + static_cast<std::ptrdiff_t>(p), body.end());
  return true;
}
