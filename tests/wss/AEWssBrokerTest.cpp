// The transport against a real mosquitto with WebSocket listeners, plain and TLS.
#include <gtest/gtest.h>

#include <memory>

#include "AEMqttWss.h"
#include "AEWssBroker.h"
#include "AEWssBrokerTest.h"
#include "AEWssTestMqtt.h"

void WssBrokerTest::SetUp() {
  FBroker = std::make_unique<TAETestBroker>(FDir.Str());
  ASSERT_EQ(FBroker->Error(), "");
  TrustTestCa(FDir.Str());
}

void WssBrokerTest::ConnectMqtt(IAEMqttTransport& t, TBytes& stream) {
  t.Open();
  t.Send(ConnectPacket("velkarn-wss-test"));
  EXPECT_EQ(ReceivePacket(t, stream), (TBytes{0x20, 0x02, 0x00, 0x00})) << "no CONNACK";
}

namespace {
class WssBrokerRoundTrip : public WssBrokerTest, public testing::WithParamInterface<std::string> {};

// Every PUBLISH goes out as one message and comes back from the broker unchanged: sizes
// on both sides of the 7-bit, 16-bit and 64-bit frame length forms, of the reader's
// 64 KiB chunk, and a hit-file-sized waveform message.
TEST_P(WssBrokerRoundTrip, PublishesOfEverySizeComeBackIntact) {
  auto t = CreateWssTransport(GetParam());
  TBytes stream;
  ASSERT_NO_FATAL_FAILURE(ConnectMqtt(*t, stream));
  t->Send(SubscribePacket(1, "kivu/test/echo"));
  ASSERT_EQ(ReceivePacket(*t, stream), (TBytes{0x90, 0x03, 0x00, 0x01, 0x00})) << "no SUBACK";
  std::uint8_t seed = 0;
  for (std::size_t size : {20u, 125u, 126u, 127u, 8192u, 65535u, 65536u, 70000u}) {
    SCOPED_TRACE("packet of " + std::to_string(size) + " bytes");
    const TBytes sent = PublishPacketOfSize("kivu/test/echo", size, ++seed);
    ASSERT_EQ(sent.size(), size);
    t->Send(sent);
    const TBytes got = ReceivePacket(*t, stream);
    ASSERT_EQ(got.size(), size);
    EXPECT_TRUE(got == sent) << "bytes differ";
  }
  EXPECT_TRUE(stream.empty());
  t->Close();
}

INSTANTIATE_TEST_SUITE_P(Listeners, WssBrokerRoundTrip,
                         testing::Values("ws://127.0.0.1:" + std::to_string(kWsPort) + "/mqtt",
                                         "WSS://localhost:" + std::to_string(kWssPort) + "/mqtt"));

// The broker drops a client that breaks the protocol: the stream ends with a reason.
TEST_F(WssBrokerTest, BrokerDroppingTheClientEndsTheStream) {
  auto t = CreateWssTransport("ws://127.0.0.1:" + std::to_string(kWsPort) + "/mqtt");
  TBytes stream;
  ASSERT_NO_FATAL_FAILURE(ConnectMqtt(*t, stream));
  t->Send({0x10, 0x00});  // a second CONNECT is a protocol violation
  const std::string error = ReceiveUntilError(*t);
  EXPECT_TRUE(error == "closed by the server" || error.rfind("WebSocket receive error ", 0) == 0) << error;
  EXPECT_EQ(SendError(*t, {0xC0, 0x00}), "WebSocket not open: " + error);
  // And the same transport connects again afterwards.
  stream.clear();
  ASSERT_NO_FATAL_FAILURE(ConnectMqtt(*t, stream));
  t->Close();
}
}  // namespace
