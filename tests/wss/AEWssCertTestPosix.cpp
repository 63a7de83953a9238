// OpenSSL's trust store comes from SSL_CERT_FILE / SSL_CERT_DIR, so each case sets them.
#include <cstdlib>

#include "AEMqttWss.h"
#include "AEWssBrokerTest.h"

void TrustTestCa(const std::string& dir) {
  setenv("SSL_CERT_FILE", (dir + "/ca.pem").c_str(), 1);
  setenv("SSL_CERT_DIR", (dir + "/empty").c_str(), 1);
}

namespace {
struct TCertCase {
  std::string Name;
  std::string CaFile;  // relative to the broker's folder
  std::string Url;
};

class WssCertificate : public WssBrokerTest, public testing::WithParamInterface<TCertCase> {};

TEST_P(WssCertificate, UntrustedServerFailsOpen) {
  const TCertCase& c = GetParam();
  setenv("SSL_CERT_FILE", FDir.Str(c.CaFile).c_str(), 1);
  auto t = CreateWssTransport(c.Url);
  try {
    t->Open();
    FAIL() << "Open succeeded";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("TLS handshake failed: certificate verify failed"), std::string::npos)
        << e.what();
  }
  t->Close();
  EXPECT_EQ(SendError(*t, {0xC0, 0x00}), "WebSocket not open");
}

const std::string kLocal = "wss://localhost:" + std::to_string(kWssPort) + "/mqtt";

INSTANTIATE_TEST_SUITE_P(Cases, WssCertificate, testing::Values(
    TCertCase{"WrongCa", "wrongca.pem", kLocal},
    TCertCase{"NoCa", "missing.pem", kLocal},
    TCertCase{"OtherName", "ca.pem", "wss://localhost:" + std::to_string(kWssOtherNamePort) + "/mqtt"},
    TCertCase{"OtherIp", "ca.pem", "wss://127.0.0.1:" + std::to_string(kWssOtherNamePort) + "/mqtt"}),
    [](const testing::TestParamInfo<TCertCase>& info) { return info.param.Name; });

// The certificate names 127.0.0.1 too: an address is checked against it as well.
TEST_F(WssBrokerTest, TrustedCertificateForAnAddressIsAccepted) {
  auto t = CreateWssTransport("wss://127.0.0.1:" + std::to_string(kWssPort) + "/");
  TBytes stream;
  ConnectMqtt(*t, stream);
  t->Close();
}
}  // namespace
