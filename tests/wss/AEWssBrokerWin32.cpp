#include "AEWssBroker.h"

// wine-broker.sh has started the broker in the namespace this process runs in and put
// its CA into the CurrentUser Root store; here we only wait until it listens.
TAETestBroker::TAETestBroker(const std::string& dir) : FDir(dir) {
  if (!WaitForBrokerPorts(30000))
    FError = "broker not listening: run this test through tests/wss/wine-broker.sh";
}

TAETestBroker::~TAETestBroker() = default;
