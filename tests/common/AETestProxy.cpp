#include "AETestProxy.h"

#include <chrono>
#include <thread>

namespace {

constexpr int kAcceptWaitMs = 2;
constexpr int kIdleWaitMs = 2;

// The relay polls its sockets without blocking, so that one thread serves every pair
// and sees Stall and Cut at once; an idle pass sleeps its tick, as nothing can wake it.
void IdleTick() { std::this_thread::sleep_for(std::chrono::milliseconds(kIdleWaitMs)); }

}  // namespace

TAETestProxy::TAETestProxy(std::string host, std::uint16_t port)
    : FHost(std::move(host)), FPort(port), FListener(TAETcpListener::Loopback()) {
  FThread = std::jthread([this](std::stop_token stop) { Run(stop); });
}

TAETestProxy::~TAETestProxy() {
  FThread.request_stop();
  FThread.join();
}

void TAETestProxy::Cut() {
  // Returns once the relay thread has closed every pair that was open.
  const int want = ++FCutRequests;
  std::unique_lock lock(FLock);
  FCutsDoneChanged.wait(lock, [&] { return FCutsDone >= want; });
}

bool TAETestProxy::Relay(TAESocket& from, TAESocket& to, std::vector<std::uint8_t>& chunk, std::int64_t& moved) {
  const std::ptrdiff_t n = from.Receive(chunk, 0);
  if (n == 0) return false;  // orderly end: the pair goes
  if (n > 0) {
    to.SendAll(std::span<const std::uint8_t>(chunk.data(), static_cast<std::size_t>(n)));
    moved += n;
  }
  return true;
}

void TAETestProxy::Run(std::stop_token stop) {
  std::vector<std::unique_ptr<TPair>> pairs;
  std::vector<std::uint8_t> chunk(65536);
  int cutsSeen = 0;
  while (!stop.stop_requested()) {
    const int cuts = FCutRequests.load();
    if (cuts != cutsSeen) {
      pairs.clear();  // closes both sockets of every pair
      cutsSeen = cuts;
      {
        std::lock_guard lock(FLock);
        FCutsDone = cuts;
      }
      FCutsDoneChanged.notify_all();
    }
    TAESocket accepted = FListener.Accept(pairs.empty() ? 20 : kAcceptWaitMs);
    if (accepted.IsOpen()) {
      ++FConnections;
      auto pair = std::make_unique<TPair>();
      pair->Client = std::move(accepted);
      try {
        pair->Server = TAESocket::Connect(FHost, FPort, 5000);
        pairs.push_back(std::move(pair));
      } catch (const std::exception&) {
        // No server: the client sees its connection closed.
      }
    }
    if (FStalled.load()) {
      IdleTick();
      continue;
    }
    std::int64_t moved = 0;
    for (auto it = pairs.begin(); it != pairs.end();) {
      bool alive;
      try {
        std::int64_t toServer = 0;
        alive = Relay((*it)->Client, (*it)->Server, chunk, toServer) && Relay((*it)->Server, (*it)->Client, chunk, moved);
        FToServer += toServer;
        moved += toServer;
      } catch (const std::exception&) {
        alive = false;  // reset or a stuck peer: the pair goes, as a broken path would
      }
      it = alive ? it + 1 : pairs.erase(it);
    }
    if (moved == 0) IdleTick();
  }
}
