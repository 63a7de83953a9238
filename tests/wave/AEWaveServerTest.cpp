// The wave server against real loopback sockets and hit files in a temp folder.
#include "AEWaveServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "AEErrors.h"
#include "AEFileSystem.h"
#include "AEHitFileWriter.h"
#include "AETestFileTime.h"
#include "common/AEPollUntil.h"
#include "common/AETestTcpClient.h"
#include "common/AETestTemp.h"

namespace {

constexpr std::uint16_t kAgent = 7;

std::string Request(std::uint16_t agentId, std::uint16_t channel, std::uint32_t seq, std::int64_t fileTime,
                    std::uint32_t ignored = 0, std::uint32_t magic = kWaveRequestMagic) {
  TAEWaveRequest r{};
  r.Magic = magic;
  r.AgentId = agentId;
  r.Channel = channel;
  r.Seq = seq;
  std::memcpy(r.Ignored, &ignored, 4);
  r.FileTime = fileTime;
  return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

struct TReply {
  std::uint32_t Magic = 0;
  std::int32_t Status = -1;
  std::int32_t Length = -1;
  std::string Data;
};

// Reads one reply: the 12-byte header and Length bytes after it.
TReply ReadReply(TAETestTcpClient& c) {
  TReply r;
  const std::string head = c.Receive(12);
  if (head.size() != 12) return r;
  std::memcpy(&r.Magic, head.data(), 4);
  std::memcpy(&r.Status, head.data() + 4, 4);
  std::memcpy(&r.Length, head.data() + 8, 4);
  if (r.Length > 0) r.Data = c.Receive(static_cast<std::size_t>(r.Length));
  return r;
}

std::vector<std::int16_t> Ramp(std::size_t n, std::int16_t start) {
  std::vector<std::int16_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::int16_t>(start - static_cast<std::int16_t>(3 * i));
  return v;
}

const std::int64_t kHitTime = FileTimeOf(2026, 12, 10, 10, 20, 5, 123);

class WaveServer : public testing::Test {
 protected:
  void SetUp() override {
    FSettings.AgentId = kAgent;
    FSettings.Channels = 4;
    FSettings.DataRoot = FTemp.Str("data");
    FServer = std::make_unique<TAEWaveServer>(FSettings, FRequests, FServed);
    FServer->Activate(0);
  }
  void TearDown() override { FServer->Deactivate(); }

  // Starts the server again with shorter limits; its lines go to FLines.
  void Restart(const TAEWaveLimits& limits) {
    FServer->Deactivate();
    FServer = std::make_unique<TAEWaveServer>(FSettings, FRequests, FServed, limits, [this](const std::string& line) {
      std::lock_guard lock(FLinesLock);
      FLines.push_back(line);
    });
    FServer->Activate(0);
  }
  // n peers that have asked for a hit file far larger than the socket buffers of both
  // ends hold and have its reply's header: the server is writing each reply.
  std::vector<std::unique_ptr<TAETestTcpClient>> PeersWithRepliesOnTheWay(std::size_t n, const std::string& big) {
    WriteHitFile(FSettings.DataRoot, 1, 5, kHitTime, big);
    std::vector<std::unique_ptr<TAETestTcpClient>> peers;
    for (std::size_t i = 0; i < n; ++i) {
      peers.push_back(Connect());
      peers.back()->Send(Request(kAgent, 1, 5, kHitTime));
      EXPECT_EQ(peers.back()->Receive(12).size(), 12u) << "connection " << i;
    }
    return peers;
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(FLinesLock);
    return FLines;
  }

  std::unique_ptr<TAETestTcpClient> Connect(const char* host = "127.0.0.1") {
    return std::make_unique<TAETestTcpClient>(host, FServer->Port());
  }
  // A request on a new connection, tried again while the server is full and closes
  // each new connection at once; Status -1 when no attempt got a reply within limit.
  TReply FetchOnANewConnection(const std::string& request, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      auto c = Connect();
      try {
        c->Send(request);
      } catch (const std::runtime_error&) {
        continue;  // closed before our request got there
      }
      TReply r = ReadReply(*c);
      if (r.Status != -1) return r;
    }
    return {};
  }

  TAETempDir FTemp;
  TAESettings FSettings;
  std::atomic<std::int64_t> FRequests{0};
  std::atomic<std::int64_t> FServed{0};
  std::unique_ptr<TAEWaveServer> FServer;
  std::mutex FLinesLock;
  std::vector<std::string> FLines;  // guarded by FLinesLock
};

TEST_F(WaveServer, TwoRequestsBackToBackAreAnsweredInOrder) {
  const std::string first = HitFileBytes(kAgent, 2, 41, kHitTime, Ramp(4096, 1000));
  const std::string second = HitFileBytes(kAgent, 3, 9, kHitTime, Ramp(10, -5));
  WriteHitFile(FSettings.DataRoot, 2, 41, kHitTime, first);
  WriteHitFile(FSettings.DataRoot, 3, 9, kHitTime, second);

  auto c = Connect();
  c->Send(Request(kAgent, 2, 41, kHitTime) + Request(kAgent, 3, 9, kHitTime));
  const TReply a = ReadReply(*c);
  const TReply b = ReadReply(*c);
  EXPECT_EQ(a.Magic, kWaveReplyMagic);
  EXPECT_EQ(a.Status, wsFound);
  EXPECT_EQ(a.Length, static_cast<std::int32_t>(first.size()));
  EXPECT_TRUE(a.Data == first) << "first file differs";
  EXPECT_EQ(b.Magic, kWaveReplyMagic);
  EXPECT_EQ(b.Status, wsFound);
  EXPECT_EQ(b.Length, 88 + 20);
  EXPECT_TRUE(b.Data == second) << "second file differs";
  EXPECT_EQ(FRequests.load(), 2);
  EXPECT_EQ(FServed.load(), 2);
}

struct TLookupCase {
  const char* Name;
  std::uint16_t Channel;
  std::uint32_t Seq;
  std::int64_t FileTime;
  std::uint32_t Ignored;
  std::int32_t Status;
};

TEST_F(WaveServer, LooksUpByChannelSequenceAndHourOnOneConnection) {
  const std::string onCh1 = HitFileBytes(kAgent, 1, 5, kHitTime, Ramp(64, 7));
  const std::string onCh0 = HitFileBytes(kAgent, 0, 5, kHitTime, Ramp(32, 9));
  const std::string onCh999 = HitFileBytes(kAgent, 999, 5, kHitTime, Ramp(16, 11));
  WriteHitFile(FSettings.DataRoot, 1, 5, kHitTime, onCh1);
  WriteHitFile(FSettings.DataRoot, 0, 5, kHitTime, onCh0);
  WriteHitFile(FSettings.DataRoot, 999, 5, kHitTime, onCh999);
  // A folder where a hit file would be, and a file where a folder of the path would be.
  ForceDirectories(HitFileName(FSettings.DataRoot, 1, kHitTime, 7));
  std::string hourFolder = ExtractFilePath(HitFileName(FSettings.DataRoot, 3, kHitTime, 8));
  hourFolder.pop_back();
  ForceDirectories(ExtractFilePath(hourFolder));
  WriteWholeFile(hourFolder, "not a folder");

  const TLookupCase cases[] = {
      {"the hit's own time", 1, 5, kHitTime, 0, wsFound},
      {"start of the hour", 1, 5, FileTimeOf(2026, 12, 10, 10, 0, 0, 0), 0, wsFound},
      {"last millisecond of the hour", 1, 5, FileTimeOf(2026, 12, 10, 10, 59, 59, 999), 0, wsFound},
      {"bytes 12 to 15 set", 1, 5, kHitTime, 0xFFFFFFFFu, wsFound},
      {"bytes 12 to 15 other", 1, 5, kHitTime, 0x31524541u, wsFound},
      {"next hour", 1, 5, FileTimeOf(2026, 12, 10, 11, 0, 0, 0), 0, wsNotFound},
      {"previous hour", 1, 5, FileTimeOf(2026, 12, 10, 9, 59, 59, 999), 0, wsNotFound},
      {"same hour, next day", 1, 5, FileTimeOf(2026, 12, 11, 10, 20, 5, 123), 0, wsNotFound},
      {"other sequence", 1, 6, kHitTime, 0, wsNotFound},
      {"channel 0 with a file", 0, 5, kHitTime, 0, wsFound},
      {"channel above Channels with a file", 999, 5, kHitTime, 0, wsFound},
      {"channel above Channels without one", 5, 5, kHitTime, 0, wsNotFound},
      {"a folder in the file's place", 1, 7, kHitTime, 0, wsNotFound},
      {"a file in the hour folder's place", 3, 8, kHitTime, 0, wsNotFound},
      {"highest channel", 65535, 5, kHitTime, 0, wsNotFound},
  };
  auto c = Connect();
  std::int64_t served = 0;
  for (const TLookupCase& k : cases) {
    SCOPED_TRACE(k.Name);
    c->Send(Request(kAgent, k.Channel, k.Seq, k.FileTime, k.Ignored));
    const TReply r = ReadReply(*c);
    ASSERT_EQ(r.Magic, kWaveReplyMagic);
    EXPECT_EQ(r.Status, k.Status);
    if (k.Status == wsFound) {
      ++served;
      const std::string& expected = k.Channel == 0 ? onCh0 : k.Channel == 999 ? onCh999 : onCh1;
      EXPECT_EQ(r.Length, static_cast<std::int32_t>(expected.size()));
      EXPECT_TRUE(r.Data == expected);
    } else {
      EXPECT_EQ(r.Length, 0);
    }
  }
  EXPECT_EQ(FRequests.load(), static_cast<std::int64_t>(std::size(cases)));
  EXPECT_EQ(FServed.load(), served);
}

TEST_F(WaveServer, EmptyFileIsFoundWithLengthZeroAndOverwrittenFileServedNew) {
  WriteHitFile(FSettings.DataRoot, 2, 1, kHitTime, "");
  auto c = Connect();
  c->Send(Request(kAgent, 2, 1, kHitTime));
  const TReply empty = ReadReply(*c);
  EXPECT_EQ(empty.Status, wsFound);
  EXPECT_EQ(empty.Length, 0);
  EXPECT_EQ(FServed.load(), 1);

  // The same channel, hour and number written again (a restarted run): the new form.
  const std::string newer = HitFileBytes(kAgent, 2, 1, kHitTime + kTicksPerSecond, Ramp(8, 100));
  WriteHitFile(FSettings.DataRoot, 2, 1, kHitTime, newer);
  c->Send(Request(kAgent, 2, 1, kHitTime));
  const TReply r = ReadReply(*c);
  EXPECT_EQ(r.Status, wsFound);
  EXPECT_TRUE(r.Data == newer);
  EXPECT_EQ(FRequests.load(), 2);
  EXPECT_EQ(FServed.load(), 2);
}

TEST_F(WaveServer, BadRequestGetsStatusTwoThenTheConnectionCloses) {
  WriteHitFile(FSettings.DataRoot, 1, 5, kHitTime, HitFileBytes(kAgent, 1, 5, kHitTime, Ramp(4, 1)));
  struct TBad {
    const char* Name;
    std::string Bytes;
  };
  const TBad cases[] = {
      {"magic byte 0", Request(kAgent, 1, 5, kHitTime, 0, kWaveRequestMagic ^ 0x00000001u)},
      {"magic byte 1", Request(kAgent, 1, 5, kHitTime, 0, kWaveRequestMagic ^ 0x00000100u)},
      {"magic byte 2", Request(kAgent, 1, 5, kHitTime, 0, kWaveRequestMagic ^ 0x00010000u)},
      {"magic byte 3", Request(kAgent, 1, 5, kHitTime, 0, kWaveRequestMagic ^ 0x01000000u)},
      {"reply magic", Request(kAgent, 1, 5, kHitTime, 0, kWaveReplyMagic)},
      {"another agent", Request(kAgent + 1, 1, 5, kHitTime)},
      {"agent 0", Request(0, 1, 5, kHitTime)},
      {"garbage", std::string(24, '\x5A')},
  };
  std::int64_t expected = 0;
  for (const TBad& k : cases) {
    SCOPED_TRACE(k.Name);
    auto c = Connect();
    c->Send(k.Bytes);
    const TReply r = ReadReply(*c);
    ++expected;
    EXPECT_EQ(r.Magic, kWaveReplyMagic);
    EXPECT_EQ(r.Status, wsBadRequest);
    EXPECT_EQ(r.Length, 0);
    EXPECT_TRUE(c->WaitForEnd()) << "the connection stayed open";
    EXPECT_EQ(FRequests.load(), expected);
  }
  EXPECT_EQ(FServed.load(), 0);
}

TEST_F(WaveServer, ShortRequestThenCloseGetsNoReplyAndCountsNothing) {
  auto c = Connect();
  c->Send(Request(kAgent, 1, 5, kHitTime).substr(0, 23));
  c->ShutdownSend();
  EXPECT_TRUE(c->WaitForEnd()) << "a reply or no close after 23 bytes";
  EXPECT_EQ(FRequests.load(), 0);
  EXPECT_EQ(FServed.load(), 0);
}

TEST_F(WaveServer, ServesOverIPv6WhereTheMachineHasIt) {
  const bool v6 = TAETestTcpClient::HasIPv6Loopback();
  ASSERT_EQ(FServer->ListenerCount(), v6 ? 2 : 1);
  const std::string file = HitFileBytes(kAgent, 1, 5, kHitTime, Ramp(4096, 3));
  WriteHitFile(FSettings.DataRoot, 1, 5, kHitTime, file);
  auto c = Connect(v6 ? "::1" : "127.0.0.1");
  c->Send(Request(kAgent, 1, 5, kHitTime));
  const TReply r = ReadReply(*c);
  EXPECT_EQ(r.Status, wsFound);
  EXPECT_TRUE(r.Data == file);
}

TEST_F(WaveServer, ManyConnectionsDroppedAtOnceLeaveTheServerServing) {
  const std::string file = HitFileBytes(kAgent, 1, 5, kHitTime, Ramp(256, 3));
  WriteHitFile(FSettings.DataRoot, 1, 5, kHitTime, file);
  auto keeper = Connect();  // a collector's open connection through all of it
  keeper->Send(Request(kAgent, 1, 5, kHitTime));
  ASSERT_TRUE(ReadReply(*keeper).Data == file);
  {
    std::vector<std::unique_ptr<TAETestTcpClient>> crowd;
    for (int i = 0; i < 200; ++i) {
      crowd.push_back(Connect());
      switch (i % 4) {
        case 0: crowd.back()->Send(Request(kAgent, 1, 5, kHitTime).substr(0, static_cast<std::size_t>(i % 24))); break;
        case 1: crowd.back()->Send(std::string(7, '\xFF')); break;
        case 2: crowd.back()->Reset(); break;
        default: break;  // connected, silent
      }
    }
  }  // all 200 dropped at once
  EXPECT_EQ(FRequests.load(), 1);
  keeper->Send(Request(kAgent, 1, 5, kHitTime));
  EXPECT_TRUE(ReadReply(*keeper).Data == file);
  // A newcomer may find the places still taken by the crowd, until the server has seen
  // its connections go.
  const TReply r = FetchOnANewConnection(Request(kAgent, 1, 5, kHitTime));
  EXPECT_EQ(r.Status, wsFound);
  EXPECT_TRUE(r.Data == file);
  EXPECT_EQ(FRequests.load(), 3);
}

// The node's own limits; the tests below shorten them.
TEST(WaveServerLimits, TheNodeServesSixtyFourConnectionsAndWaitsTenSeconds) {
  const TAEWaveLimits limits;
  EXPECT_EQ(limits.MaxConnections, 64u);
  EXPECT_EQ(limits.RequestTimeout, std::chrono::seconds(10));
  EXPECT_EQ(limits.ReplyTimeout, std::chrono::seconds(10));
  EXPECT_EQ(limits.FullNoticeEvery, std::chrono::minutes(1));
}

// Replies that are being written (their peers read slowly) keep their places: a new
// connection then finds none idle and is closed at once.
TEST_F(WaveServer, ConnectionsBeyondTheCapAreClosedAtOnceWhileEveryReplyIsBeingWritten) {
  TAEWaveLimits limits;
  limits.MaxConnections = 3;
  Restart(limits);
  const std::string big(24 << 20, 'w');
  auto kept = PeersWithRepliesOnTheWay(limits.MaxConnections, big);
  ASSERT_FALSE(HasFailure());
  for (int i = 0; i < 4; ++i) {
    auto extra = Connect();
    EXPECT_TRUE(extra->WaitForEnd(std::chrono::seconds(5))) << "connection " << i << " beyond the cap was kept";
  }
  for (auto& c : kept) EXPECT_EQ(c->Receive(big.size()), big) << "a reply being written was cut";
}

// A peer that takes every place with connections that ask nothing, while one collector
// fetches on a new connection each time and an earlier one on its kept connection.
TEST_F(WaveServer, IdleConnectionsAtTheCapMakeRoomForCollectorsAndAKeptCollectorStays) {
  TAEWaveLimits limits;
  limits.MaxConnections = 4;
  Restart(limits);
  const std::string file = HitFileBytes(kAgent, 1, 5, kHitTime, Ramp(512, 3));
  WriteHitFile(FSettings.DataRoot, 1, 5, kHitTime, file);
  auto kept = Connect();
  kept->Send(Request(kAgent, 1, 5, kHitTime));
  ASSERT_TRUE(ReadReply(*kept).Data == file);
  std::vector<std::unique_ptr<TAETestTcpClient>> hog;
  for (std::size_t i = 0; i < 2 * limits.MaxConnections; ++i) hog.push_back(Connect());
  ASSERT_TRUE(hog.front()->WaitForEnd()) << "the oldest of the idle connections kept its place";
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    auto collector = Connect();
    collector->Send(Request(kAgent, 1, 5, kHitTime));
    const TReply r = ReadReply(*collector);
    EXPECT_EQ(r.Status, wsFound) << "a new collector was shut out";
    EXPECT_TRUE(r.Data == file);
    if (round % 4 == 3) {
      kept->Send(Request(kAgent, 1, 5, kHitTime));
      ASSERT_TRUE(ReadReply(*kept).Data == file) << "the kept collector lost its connection";
    }
  }
  EXPECT_LE(FServer->ConnectionCount(), limits.MaxConnections);
}

// Peers that ask and never read: their replies cannot be written, and their places go
// to a new collector once the write limit has passed.
TEST_F(WaveServer, PeersThatAskAndNeverReadLoseTheirPlaces) {
  TAEWaveLimits limits;
  limits.MaxConnections = 3;
  limits.ReplyTimeout = std::chrono::milliseconds(500);
  Restart(limits);
  const std::string file = HitFileBytes(kAgent, 2, 6, kHitTime, Ramp(64, 3));
  WriteHitFile(FSettings.DataRoot, 2, 6, kHitTime, file);
  const std::string big(24 << 20, 'w');
  auto stuck = PeersWithRepliesOnTheWay(limits.MaxConnections, big);
  ASSERT_FALSE(HasFailure());
  const TReply r = FetchOnANewConnection(Request(kAgent, 2, 6, kHitTime), std::chrono::seconds(15));
  EXPECT_EQ(r.Status, wsFound) << "the peers that never read kept every place";
  EXPECT_TRUE(r.Data == file);
  EXPECT_TRUE(PollUntil([&] { return FServer->ConnectionCount() == 0; }, std::chrono::seconds(15)))
      << "an unread reply kept its connection";
  for (auto& c : stuck)
    EXPECT_LT(c->Receive(big.size(), std::chrono::seconds(15)).size(), big.size()) << "an unread reply was not cut";
}

// Many connections beyond the cap: one line for the operator, naming the cap.
TEST_F(WaveServer, TheOperatorIsToldOnceWhenTheCapIsReached) {
  TAEWaveLimits limits;
  limits.MaxConnections = 2;
  Restart(limits);
  std::vector<std::unique_ptr<TAETestTcpClient>> crowd;
  crowd.push_back(Connect());
  crowd.back()->Send(Request(kAgent, 1, 5, kHitTime));
  ASSERT_EQ(ReadReply(*crowd.back()).Status, wsNotFound);
  EXPECT_TRUE(Lines().empty()) << "told before the cap was reached";
  for (int i = 0; i < 10; ++i) crowd.push_back(Connect());
  ASSERT_EQ(FetchOnANewConnection(Request(kAgent, 1, 5, kHitTime)).Status, wsNotFound);  // after every accept above
  EXPECT_EQ(Lines(), std::vector<std::string>{"wave server: 2 connections, the longest idle one is closed for each new one"});
}

TEST_F(WaveServer, ARequestCutShortIsClosedAfterTheTimeoutWhileIdleConnectionsStay) {
  using namespace std::chrono;
  const std::string file = HitFileBytes(kAgent, 1, 5, kHitTime, Ramp(64, 3));
  WriteHitFile(FSettings.DataRoot, 1, 5, kHitTime, file);
  auto fresh = Connect();         // never sends until the end
  auto afterRequest = Connect();  // idle between two requests
  afterRequest->Send(Request(kAgent, 1, 5, kHitTime));
  ASSERT_EQ(ReadReply(*afterRequest).Status, wsFound);

  auto cut = Connect();
  const auto sent = steady_clock::now();
  cut->Send(Request(kAgent, 1, 5, kHitTime).substr(0, 10));
  // The server starts its clock when the first byte arrives, after our send: it can
  // close late, never early.
  const auto notBefore = kWaveRequestTimeout - seconds(1);
  EXPECT_FALSE(cut->WaitForEnd(duration_cast<milliseconds>(notBefore))) << "closed well before the limit";
  EXPECT_TRUE(cut->WaitForEnd(duration_cast<milliseconds>(sent + kWaveRequestTimeout + seconds(5) - steady_clock::now())))
      << "an unfinished request kept its connection";
  EXPECT_GE(steady_clock::now() - sent, notBefore);
  EXPECT_EQ(FRequests.load(), 1);

  // Both idle connections have been silent for longer than the limit and are served.
  for (auto* c : {fresh.get(), afterRequest.get()}) {
    c->Send(Request(kAgent, 1, 5, kHitTime));
    const TReply r = ReadReply(*c);
    EXPECT_EQ(r.Status, wsFound);
    EXPECT_TRUE(r.Data == file);
  }
  EXPECT_EQ(FRequests.load(), 3);
}

TEST(WaveServerActivation, PortInUseRaisesNamingThePort) {
  TAESettings s;
  std::atomic<std::int64_t> requests{0}, served{0};
  TAEWaveServer first(s, requests, served);
  first.Activate(0);
  TAEWaveServer second(s, requests, served);
  try {
    second.Activate(first.Port());
    FAIL() << "bound a port in use";
  } catch (const EAEOsError& e) {
    EXPECT_EQ(DescribeException(e).rfind("EOSError: Cannot listen on TCP port " + std::to_string(first.Port()), 0), 0u)
        << DescribeException(e);
  }
}

}  // namespace
