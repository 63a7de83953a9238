#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AEMqtt.h"
#include "AEMqttPacket.h"

namespace {

TAEBytes B(std::initializer_list<int> v) {
  TAEBytes out;
  for (int x : v) out.push_back(static_cast<std::uint8_t>(x));
  return out;
}
TAEBytes Text(std::string_view s) { return TAEBytes(s.begin(), s.end()); }

struct TLenCase {
  std::uint32_t Value;
  TAEBytes Bytes;
};

class RemainingLength : public testing::TestWithParam<TLenCase> {};

// Encoder and reader must agree on every boundary of the 1..4 byte forms.
TEST_P(RemainingLength, EncodesAndReadsBack) {
  const TLenCase& c = GetParam();
  EXPECT_EQ(EncodeRemainingLength(c.Value), c.Bytes);
  TAEBytes packet{0x30};
  AppendBytes(packet, c.Bytes);
  TAEMqttPacket p;
  std::size_t head = 0;
  if (c.Value < 100000) {
    packet.resize(packet.size() + c.Value, 0xAB);
    packet.push_back(0x99);  // first byte of a following packet stays
    ASSERT_TRUE(TryTakePacket(packet, head, p));
    EXPECT_EQ(p.Body.size(), c.Value);
    EXPECT_EQ(head, packet.size() - 1);
  } else {
    // The announced length is read, and the packet is not complete without its body.
    packet.resize(packet.size() + 100, 0);
    EXPECT_FALSE(TryTakePacket(packet, head, p));
    EXPECT_EQ(head, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Edges, RemainingLength,
                         testing::Values(TLenCase{0, B({0x00})}, TLenCase{127, B({0x7F})},
                                         TLenCase{128, B({0x80, 0x01})}, TLenCase{16383, B({0xFF, 0x7F})},
                                         TLenCase{16384, B({0x80, 0x80, 0x01})},
                                         TLenCase{2097151, B({0xFF, 0xFF, 0x7F})},
                                         TLenCase{2097152, B({0x80, 0x80, 0x80, 0x01})},
                                         TLenCase{268435455, B({0xFF, 0xFF, 0xFF, 0x7F})}));

TAEMqttOptions Opts(std::string id, std::uint16_t keepAlive) {
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = std::move(id);
  o.KeepAliveSec = keepAlive;
  return o;
}

struct TBuildCase {
  const char* Name;
  TAEBytes Built;
  TAEBytes Expected;
};

std::vector<TBuildCase> BuildCases() {
  std::vector<TBuildCase> cases;
  cases.push_back({"pingreq", BuildPingReq(), B({0xC0, 0x00})});
  cases.push_back({"disconnect", BuildDisconnect(), B({0xE0, 0x00})});
  cases.push_back({"puback", BuildPubAck(0x12, 0x34), B({0x40, 0x02, 0x12, 0x34})});
  cases.push_back({"connect plain", BuildConnect(Opts("a", 60)),
                   B({0x10, 0x0D, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x04, 0x02, 0x00, 0x3C, 0x00, 0x01, 0x61})});
  {
    TAEMqttOptions o = Opts("c", 20);
    o.WillTopic = "w";
    o.WillPayload = Text("offline");
    o.WillRetain = true;
    o.User = "u";
    o.Password = "p";
    cases.push_back({"connect full", BuildConnect(o),
                     B({0x10, 0x1F, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x04, 0xE6, 0x00, 0x14, 0x00, 0x01, 0x63,
                        0x00, 0x01, 0x77, 0x00, 0x07, 0x6F, 0x66, 0x66, 0x6C, 0x69, 0x6E, 0x65, 0x00, 0x01, 0x75,
                        0x00, 0x01, 0x70})});
  }
  {
    TAEMqttOptions o = Opts("a", 60);
    o.Password = "p";  // no password without a user name
    o.WillRetain = true;  // and no will retain without a will topic
    o.CleanSession = false;
    cases.push_back({"connect password alone", BuildConnect(o),
                     B({0x10, 0x0D, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x04, 0x00, 0x00, 0x3C, 0x00, 0x01, 0x61})});
  }
  {
    TAEMqttOptions o = Opts("", 60);
    o.User = "u";
    cases.push_back({"connect user alone, empty id", BuildConnect(o),
                     B({0x10, 0x0F, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x04, 0x82, 0x00, 0x3C, 0x00, 0x00, 0x00,
                        0x01, 0x75})});
  }
  cases.push_back({"publish qos0", BuildPublish("a/b", Text("x"), 0, false, 7),
                   B({0x30, 0x06, 0x00, 0x03, 0x61, 0x2F, 0x62, 0x78})});
  cases.push_back({"publish qos1 retained", BuildPublish("t", Text("online"), 1, true, 1),
                   B({0x33, 0x0B, 0x00, 0x01, 0x74, 0x00, 0x01, 0x6F, 0x6E, 0x6C, 0x69, 0x6E, 0x65})});
  cases.push_back({"publish qos2 is qos1", BuildPublish("t", {}, 2, false, 0x0102),
                   B({0x32, 0x05, 0x00, 0x01, 0x74, 0x01, 0x02})});
  cases.push_back({"publish qos2 retained", BuildPublish("t", {}, 2, true, 9), B({0x33, 0x05, 0x00, 0x01, 0x74, 0x00, 0x09})});
  cases.push_back({"publish empty topic and payload", BuildPublish("", {}, 0, true, 0), B({0x31, 0x02, 0x00, 0x00})});
  cases.push_back({"subscribe qos1", BuildSubscribe(5, "a/#", 1),
                   B({0x82, 0x08, 0x00, 0x05, 0x00, 0x03, 0x61, 0x2F, 0x23, 0x01})});
  cases.push_back({"subscribe qos2 asks 1", BuildSubscribe(5, "a/#", 2),
                   B({0x82, 0x08, 0x00, 0x05, 0x00, 0x03, 0x61, 0x2F, 0x23, 0x01})});
  cases.push_back({"subscribe qos0", BuildSubscribe(0x1234, "#", 0), B({0x82, 0x06, 0x12, 0x34, 0x00, 0x01, 0x23, 0x00})});
  return cases;
}

TEST(MqttBuild, WritesEveryPacketByteForByte) {
  for (const TBuildCase& c : BuildCases()) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(c.Built, c.Expected);
  }
}

TEST(MqttBuild, StringLimitCountsUtf8Bytes) {
  TAEBytes buf{0xAA};
  AppendMqttString(buf, std::string(65535, 'x'));
  ASSERT_EQ(buf.size(), 1u + 2 + 65535);
  EXPECT_EQ(buf[1], 0xFF);
  EXPECT_EQ(buf[2], 0xFF);

  // 21846 three-byte characters: 21846 characters but 65538 bytes.
  std::string wide;
  for (int i = 0; i < 21846; ++i) wide += "\xE2\x82\xAC";
  TAEBytes kept{0xAA};
  EXPECT_THROW(AppendMqttString(kept, wide), EAEMqttStringTooLong);
  EXPECT_EQ(kept, B({0xAA}));  // nothing appended
  try {
    AppendMqttString(kept, std::string(65536, 'x'));
    FAIL() << "no error for 65536 bytes";
  } catch (const EAEError& e) {
    EXPECT_STREQ(e.what(), "MQTT: string too long");
  }
  EXPECT_THROW(BuildPublish(std::string(65536, 't'), {}, 0, false, 0), EAEMqttStringTooLong);
  TAEMqttOptions o = Opts("a", 60);
  o.User = "u";
  o.Password = std::string(65536, 'p');
  EXPECT_THROW(BuildConnect(o), EAEMqttStringTooLong);
}

// Ill-formed UTF-8, U+0000, a wildcard or an empty topic name never reach the wire:
// every builder that would carry one raises, naming the fault.
TEST(MqttBuild, OnlyWellFormedStringsAndTopicNamesAreBuilt) {
  struct TCase {
    std::string Text;
    std::string Problem;  // MqttTopicProblem's words
    bool BadString;       // also no MQTT string at all (not only no topic name)
  };
  const TCase cases[] = {
      {"agent+7/status", "holds the wildcard \"+\", which no topic name may", false},
      {"kivu/#", "holds the wildcard \"#\", which no topic name may", false},
      {"agent\xF8", "is not well-formed UTF-8: byte $F8 at offset 5", true},
      {"\xED\xA0\x80", "is not well-formed UTF-8: byte $ED at offset 0", true},      // surrogate U+D800
      {"a/\xC0\xAF", "is not well-formed UTF-8: byte $C0 at offset 2", true},         // overlong "/"
      {"\xF4\x90\x80\x80", "is not well-formed UTF-8: byte $F4 at offset 0", true},  // past U+10FFFF
      {"x\xE2\x82", "is not well-formed UTF-8: byte $E2 at offset 1", true},          // cut short
      {"\x80", "is not well-formed UTF-8: byte $80 at offset 0", true},
      {std::string("a\0b", 3), "holds U+0000 at offset 1, which no MQTT string may", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Problem);
    EXPECT_EQ(MqttTopicProblem(c.Text), c.Problem);
    EXPECT_EQ(PublishProblem(c.Text, 10, 1), "topic " + c.Problem);
    EXPECT_THROW(BuildPublish(c.Text, Text("x"), 0, false, 0), EAEMqttUnbuildable);
    EXPECT_THROW(BuildPublish(c.Text, Text("x"), 1, true, 9), EAEMqttUnbuildable);
    TAEMqttOptions will;
    will.ClientId = "a";
    will.WillTopic = c.Text;
    EXPECT_THROW(BuildConnect(will), EAEMqttUnbuildable);
    EXPECT_EQ(MqttStringProblem(c.Text), c.BadString ? c.Problem : "");
    if (!c.BadString) continue;
    TAEBytes kept{0xAA};
    EXPECT_THROW(AppendMqttString(kept, c.Text), EAEMqttUnbuildable);
    EXPECT_EQ(kept, B({0xAA})) << "nothing appended";
    EXPECT_THROW(BuildSubscribe(1, c.Text, 0), EAEMqttUnbuildable);
    TAEMqttOptions id;
    id.ClientId = c.Text;
    EXPECT_THROW(BuildConnect(id), EAEMqttUnbuildable);
    TAEMqttOptions user;
    user.ClientId = "a";
    user.User = c.Text;
    EXPECT_THROW(BuildConnect(user), EAEMqttUnbuildable);
  }
  for (const std::string good : {"kivu/agent7/status", "\xC3\xBC/\xE2\x82\xAC/\xF0\x9F\x98\x80", "$SYS/x", " "}) {
    SCOPED_TRACE(good);
    EXPECT_EQ(MqttTopicProblem(good), "");
    EXPECT_EQ(PublishProblem(good, 100, 1), "");
    EXPECT_EQ(BuildPublish(good, Text("x"), 0, false, 0).size(), 1 + 1 + 2 + good.size() + 1);
  }
  // Filters may hold wildcards, and a password is binary data, not a string.
  EXPECT_EQ(BuildSubscribe(1, "kivu/+/#", 0).size(), 2u + 2 + 2 + 8 + 1);
  TAEMqttOptions binary;
  binary.ClientId = "a";
  binary.User = "u";
  binary.Password = std::string("\xF8\0\xFF", 3);
  EXPECT_EQ(BuildConnect(binary).back(), 0xFF);
}

// A PUBLISH whose remaining length would need a fifth length byte is never built; the
// limit counts the identifier only where the QoS carries one.
TEST(MqttBuild, PublishAboveTheLargestRemainingLengthIsRefused) {
  EXPECT_EQ(kMqttMaxRemaining, 268435455u);
  EXPECT_EQ(EncodeRemainingLength(268435455), B({0xFF, 0xFF, 0xFF, 0x7F}));
  struct TCase {
    std::uint8_t QoS;
    std::size_t Payload;
    std::string Problem;
  };
  const std::string over = "would take 268435456 bytes after its header, more than the 268435455 an MQTT packet can hold";
  // 2 bytes of topic length, 1 of topic, 2 of identifier at QoS 1, then the payload.
  const TCase cases[] = {
      {0, 268435455 - 3, ""},
      {0, 268435455 - 2, over},
      {1, 268435455 - 5, ""},
      {1, 268435455 - 4, over},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "QoS " << int(c.QoS) << ", payload " << c.Payload);
    EXPECT_EQ(PublishProblem("t", c.Payload, c.QoS), c.Problem);
  }
  EXPECT_NE(PublishProblem("t", SIZE_MAX - 2, 1), "") << "no wrap-around";
  EXPECT_NE(PublishProblem("t", SIZE_MAX - 2, 0), "") << "no wrap-around";
  EXPECT_NE(PublishProblem(std::string(65536, 't'), 0, 0).find("takes 65536 bytes"), std::string::npos);
  // The QoS 0 packet at the limit itself: the last length byte, the topic, the payload.
  const std::vector<std::uint8_t> payload(268435455 - 3, 'p');
  const TAEBytes packet = BuildPublish("t", payload, 0, false, 0);
  ASSERT_EQ(packet.size(), 1 + 4 + 268435455u);
  EXPECT_EQ(TAEBytes(packet.begin(), packet.begin() + 8), B({0x30, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x01, 't'}));
  EXPECT_EQ(packet.back(), 'p');
}

TEST(MqttBuild, AppendHelpers) {
  TAEBytes buf{1};
  AppendBytes(buf, {});
  EXPECT_EQ(buf, B({1}));
  AppendWordBE(buf, 0xBEEF);
  AppendByte(buf, 7);
  EXPECT_EQ(buf, B({1, 0xBE, 0xEF, 7}));
  EXPECT_EQ(BuildPacket(0xD0, {}), B({0xD0, 0x00}));
}

TEST(MqttPacketId, RunsFromOneWrapsAndSkipsZero) {
  std::uint16_t last = 0;
  EXPECT_EQ(NextPacketId(last), 1);
  EXPECT_EQ(NextPacketId(last), 2);
  last = 65534;
  EXPECT_EQ(NextPacketId(last), 65535);
  EXPECT_EQ(NextPacketId(last), 1);
  EXPECT_EQ(NextPacketId(last), 2);
}

struct TTakeCase {
  const char* Name;
  TAEBytes In;
  bool Taken;
  std::uint8_t Type, Flags;
  TAEBytes Body, Rest;
};

TEST(MqttTake, CutsWholePacketsOnly) {
  const std::vector<TTakeCase> cases = {
      {"empty", {}, false, 0, 0, {}, {}},
      {"one byte", B({0x30}), false, 0, 0, {}, B({0x30})},
      {"pingresp", B({0xD0, 0x00}), true, 13, 0, {}, {}},
      {"connack then more", B({0x20, 0x02, 0x00, 0x00, 0x30}), true, 2, 0, B({0x00, 0x00}), B({0x30})},
      {"length byte missing", B({0x30, 0x80}), false, 0, 0, {}, B({0x30, 0x80})},
      {"body short", B({0x32, 0x03, 0x00, 0x01}), false, 0, 0, {}, B({0x32, 0x03, 0x00, 0x01})},
      {"flags kept", B({0x3B, 0x01, 0x55, 0xD0, 0x00}), true, 3, 0x0B, B({0x55}), B({0xD0, 0x00})},
      {"max length, no body yet", B({0x30, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2}), false, 0, 0, {},
       B({0x30, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2})},
  };
  for (const TTakeCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TAEBytes buf = c.In;
    TAEMqttPacket p;
    ASSERT_EQ(TryTakePacket(buf, p), c.Taken);
    EXPECT_EQ(buf, c.Rest);
    if (c.Taken) {
      EXPECT_EQ(p.Type, c.Type);
      EXPECT_EQ(p.Flags, c.Flags);
      EXPECT_EQ(p.Body, c.Body);
    }
  }
}

TEST(MqttTake, FifthLengthByteIsMalformedAtOnce) {
  TAEBytes buf = B({0x30, 0xFF, 0xFF, 0xFF, 0xFF});  // no fifth byte needed to know
  TAEMqttPacket p;
  try {
    TryTakePacket(buf, p);
    FAIL() << "no error";
  } catch (const EAEProtocolError& e) {
    EXPECT_STREQ(e.what(), "malformed packet length");
  }
  EXPECT_EQ(buf.size(), 5u);
  // Three continuation bytes are still a length in progress.
  TAEBytes partial = B({0x30, 0xFF, 0xFF, 0xFF});
  EXPECT_FALSE(TryTakePacket(partial, p));
}

// Feeding a stream byte by byte must give exactly the packets in it, whatever the split.
TEST(MqttTake, ReassemblesAcrossEverySplit) {
  TAEBytes stream = BuildPublish("t/1", TAEBytes(200, 0x5A), 1, false, 3);
  AppendBytes(stream, BuildPingReq());
  AppendBytes(stream, BuildPublish("t/2", TAEBytes(5, 1), 0, true, 0));
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    TAEBytes buf(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(split));
    std::size_t head = 0;
    std::vector<TAEMqttPacket> got;
    TAEMqttPacket p;
    while (TryTakePacket(buf, head, p)) got.push_back(p);
    buf.insert(buf.end(), stream.begin() + static_cast<std::ptrdiff_t>(split), stream.end());
    while (TryTakePacket(buf, head, p)) got.push_back(p);
    ASSERT_EQ(got.size(), 3u) << "split " << split;
    EXPECT_EQ(got[0].Body.size(), 2u + 3 + 2 + 200);
    EXPECT_EQ(got[1].Type, 12);
    EXPECT_EQ(got[2].Flags, 1);
    EXPECT_EQ(head, stream.size());
  }
}

TEST(MqttParse, Connack) {
  struct C {
    TAEBytes Body;
    bool Accepted, Empty;
    int Code;
  };
  const std::vector<C> cases = {{B({0, 0}), true, false, 0},  {B({1, 0}), true, false, 0},
                                {B({0, 5}), false, false, 5}, {B({4}), false, false, 4},
                                {B({0, 2}), false, false, 2}, {{}, false, true, 0}};
  for (const C& c : cases) {
    const TAEConnackResult r = ParseConnack(c.Body);
    EXPECT_EQ(r.Accepted, c.Accepted);
    EXPECT_EQ(r.Empty, c.Empty);
    EXPECT_EQ(r.Code, c.Code);
  }
}

TEST(MqttParse, Suback) {
  EXPECT_TRUE(IsSubackRefusal(B({0, 5, 0x80})));
  EXPECT_FALSE(IsSubackRefusal(B({0, 5, 0x01})));
  EXPECT_FALSE(IsSubackRefusal(B({0x80})));
  EXPECT_FALSE(IsSubackRefusal({}));
}

TEST(MqttParse, IncomingPublish) {
  TAEIncomingPublish m;
  // QoS 1 with identifier and payload.
  ASSERT_TRUE(ParseIncomingPublish(0x2, B({0, 3, 'a', '/', 'b', 0x12, 0x34, 'h', 'i'}), m));
  EXPECT_EQ(m.Topic, "a/b");
  EXPECT_EQ(m.QoS, 1);
  EXPECT_TRUE(m.HasPacketId);
  EXPECT_EQ(m.IdHigh, 0x12);
  EXPECT_EQ(m.IdLow, 0x34);
  EXPECT_EQ(m.Payload, Text("hi"));
  // QoS 0: the bytes after the topic are all payload; empty topic and payload deliver.
  ASSERT_TRUE(ParseIncomingPublish(0x1, B({0, 1, 't', 0x12, 0x34}), m));
  EXPECT_FALSE(m.HasPacketId);
  EXPECT_EQ(m.Payload, B({0x12, 0x34}));
  ASSERT_TRUE(ParseIncomingPublish(0x0, B({0, 0}), m));
  EXPECT_EQ(m.Topic, "");
  EXPECT_TRUE(m.Payload.empty());
  // QoS 2 and the value 3 are answered like QoS 1.
  ASSERT_TRUE(ParseIncomingPublish(0x6, B({0, 1, 't', 0, 9}), m));
  EXPECT_TRUE(m.HasPacketId);
  EXPECT_EQ(m.IdLow, 9);
  // Ignored: too short, or no room for the identifier.
  EXPECT_FALSE(ParseIncomingPublish(0x0, B({0}), m));
  EXPECT_FALSE(ParseIncomingPublish(0x2, B({0, 1, 't'}), m));
  EXPECT_FALSE(ParseIncomingPublish(0x2, B({0, 1, 't', 0}), m));
}

TEST(MqttParse, IncomingPublishWithBadTopicRaises) {
  TAEIncomingPublish m;
  EXPECT_THROW(ParseIncomingPublish(0, B({0, 4, 'a', 'b', 'c'}), m), EAEProtocolError);
  EXPECT_THROW(ParseIncomingPublish(0, B({0xFF, 0xFF}), m), EAEProtocolError);
  EXPECT_THROW(ParseIncomingPublish(0, B({0, 2, 0xC3, 0x28}), m), EAEProtocolError);
  EXPECT_THROW(ParseIncomingPublish(0, B({0, 2, 0xC0, 0x80}), m), EAEProtocolError);  // overlong NUL
  EXPECT_THROW(ParseIncomingPublish(0, B({0, 3, 0xED, 0xA0, 0x80}), m), EAEProtocolError);  // surrogate
  ASSERT_TRUE(ParseIncomingPublish(0, B({0, 4, 0xF0, 0x9F, 0x98, 0x80}), m));
  EXPECT_EQ(m.Topic, "\xF0\x9F\x98\x80");
}

}  // namespace
