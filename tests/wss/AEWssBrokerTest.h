#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "AEWssBroker.h"
#include "AEWssTestStream.h"
#include "common/AETestTemp.h"

// A broker per test, its CA trusted by this process.
class WssBrokerTest : public testing::Test {
 protected:
  void SetUp() override;
  // Opens t and completes an MQTT CONNECT; bytes after the CONNACK stay in stream.
  void ConnectMqtt(IAEMqttTransport& t, TBytes& stream);

  TAETempDir FDir;
  std::unique_ptr<TAETestBroker> FBroker;
};

// Makes the platform trust the test CA in dir (natively: SSL_CERT_FILE).
void TrustTestCa(const std::string& dir);
