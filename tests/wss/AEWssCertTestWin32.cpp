// WinHTTP checks against the system store; wine-broker.sh has put the test CA there.
#include "AEMqttWss.h"
#include "AEWssBrokerTest.h"

void TrustTestCa(const std::string&) {}

namespace {
// Trusted CA, but the certificate names another host: WinHTTP's default check refuses.
TEST_F(WssBrokerTest, CertificateForAnotherNameFailsOpen) {
  auto t = CreateWssTransport("wss://localhost:" + std::to_string(kWssOtherNamePort) + "/mqtt");
  try {
    t->Open();
    FAIL() << "Open succeeded";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("WinHttpSendRequest failed: ", 0), 0u) << e.what();
  }
  t->Close();
}
}  // namespace
