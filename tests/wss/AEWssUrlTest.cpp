#include <gtest/gtest.h>

#include "AEErrors.h"
#include "AEMqttWss.h"
#include "AEWssTestStream.h"

namespace {
struct TUrlCase {
  std::string Url;
  bool Secure;
  std::string Host;
  std::uint16_t Port;
  std::string Path;
};

class WssUrl : public testing::TestWithParam<TUrlCase> {};

TEST_P(WssUrl, SplitsSchemeHostPortAndPath) {
  const TUrlCase& c = GetParam();
  const TAEWssEndpoint ep = TAEWssTransport::ParseUrl(c.Url);
  EXPECT_EQ(ep.Secure, c.Secure);
  EXPECT_EQ(ep.Host, c.Host);
  EXPECT_EQ(ep.Port, c.Port);
  EXPECT_EQ(ep.Path, c.Path);
}

INSTANTIATE_TEST_SUITE_P(Examples, WssUrl, testing::Values(
    TUrlCase{"wss://host/mqtt", true, "host", 443, "/mqtt"},
    TUrlCase{"Wss://host:9001/mqtt?x=1", true, "host", 9001, "/mqtt?x=1"},
    TUrlCase{"WS://host:8080", false, "host", 8080, "/"},
    TUrlCase{"ws://host", false, "host", 80, "/"},
    TUrlCase{"host:8080/mqtt", true, "host", 8080, "/mqtt"},
    TUrlCase{"host", true, "host", 443, "/"},
    TUrlCase{"wss://broker.kivu.invalid/mqtt", true, "broker.kivu.invalid", 443, "/mqtt"},
    TUrlCase{"ws://h:1/a/b:c?d=/e", false, "h", 1, "/a/b:c?d=/e"},
    TUrlCase{"ws://h:65535", false, "h", 65535, "/"},
    TUrlCase{"ws://h:$1F90/", false, "h", 8080, "/"}));

struct TBadUrl {
  std::string Url;
  std::string Message;
};

class WssBadUrl : public testing::TestWithParam<TBadUrl> {};

TEST_P(WssBadUrl, FactoryRaisesAClearError) {
  const TBadUrl& c = GetParam();
  try {
    CreateWssTransport(c.Url);
    FAIL() << "no error for " << c.Url;
  } catch (const EAEConvertError& e) {
    EXPECT_EQ(std::string(e.what()), c.Message);
  }
}

INSTANTIATE_TEST_SUITE_P(Refused, WssBadUrl, testing::Values(
    TBadUrl{"http://host/mqtt", "'' is not a valid integer value"},
    TBadUrl{"wss://host:abc/", "'abc' is not a valid integer value"},
    TBadUrl{"wss://host:/", "'' is not a valid integer value"},
    // Out of range: neither cut to 16 bits (65537 would become 1) nor handed on as 0.
    TBadUrl{"wss://host:0/mqtt", "'0' is not a valid port number (1 to 65535)"},
    TBadUrl{"ws://host:65536", "'65536' is not a valid port number (1 to 65535)"},
    TBadUrl{"ws://host:65537", "'65537' is not a valid port number (1 to 65535)"},
    TBadUrl{"ws://host:-80", "'-80' is not a valid port number (1 to 65535)"}));

TEST(WssTransport, DescribeReturnsTheUrlAsPassed) {
  for (const std::string url : {"WSS://Host:9001/mqtt?x=1", "host", "ws://10.0.0.5"}) {
    auto t = CreateWssTransport(url);
    EXPECT_EQ(t->Describe(), url);
    t->Close();
    EXPECT_EQ(t->Describe(), url);
  }
}

TEST(WssTransport, UnopenedTransportRefusesSendAndReceivesNothing) {
  auto t = CreateWssTransport("ws://127.0.0.1:1/");
  EXPECT_EQ(SendError(*t, {0xC0, 0x00}), "WebSocket not open");
  TBytes buf{1, 2, 3};
  EXPECT_EQ(t->Receive(buf, 20), 0);
  EXPECT_EQ(buf, (TBytes{1, 2, 3}));
  t->Close();
  t->Close();
  // Closed: the stream has ended without a reason of its own.
  EXPECT_EQ(ReceiveUntilError(*t, 2000), "WebSocket closed");
  EXPECT_EQ(SendError(*t, {0xC0, 0x00}), "WebSocket not open");
}
}  // namespace
