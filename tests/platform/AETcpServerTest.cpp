// The socket server on real loopback sockets: threads, shutdown and misbehaving peers.
#include "AETcpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "AEErrors.h"
#include "common/AETestTcpClient.h"

namespace {

using namespace std::chrono_literals;

// Room for every test below that does not test the cap itself.
constexpr std::size_t kCap = 16;

// Echoes each 4-byte request; "quit" closes the connection after its echo.
void EchoHandler(TAETcpConnection& c) {
  char buf[4];
  c.ReadExact(buf, sizeof buf);
  c.Write(buf, sizeof buf);
  if (std::string(buf, 4) == "quit") c.Close();
}

template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

std::string Echo(TAETestTcpClient& client, const std::string& four) {
  client.Send(four);
  return client.Receive(4);
}

// A new connection is served once the server has let a finished one go; until then
// each attempt is closed at once.
bool EchoOnANewConnection(std::uint16_t port, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    TAETestTcpClient c("127.0.0.1", port);
    try {
      if (Echo(c, "late") == "late") return true;
    } catch (const std::runtime_error&) {
      // closed before our request got there
    }
  }
  return false;
}

TEST(TcpServer, ServesManyRequestsPerConnectionAndClosesOnRequest) {
  TAETcpServer server(EchoHandler, kCap);
  server.Activate(0);
  ASSERT_TRUE(server.Active());
  ASSERT_NE(server.Port(), 0);
  TAETestTcpClient a("127.0.0.1", server.Port());
  TAETestTcpClient b("127.0.0.1", server.Port());
  EXPECT_EQ(Echo(a, "abcd"), "abcd");
  EXPECT_EQ(Echo(b, "wxyz"), "wxyz");
  EXPECT_EQ(Echo(a, "efgh"), "efgh");
  EXPECT_EQ(Echo(a, "quit"), "quit");
  EXPECT_TRUE(a.WaitForEnd());
  EXPECT_EQ(Echo(b, "1234"), "1234");  // the other connection is untouched
}

TEST(TcpServer, ListensOnIPv6LoopbackWhereTheMachineHasIt) {
  TAETcpServer server(EchoHandler, kCap);
  server.Activate(0);
  const bool v6 = TAETestTcpClient::HasIPv6Loopback();
  ASSERT_EQ(server.ListenerCount(), v6 ? 2 : 1);
  if (v6) {
    TAETestTcpClient c("::1", server.Port());
    EXPECT_EQ(Echo(c, "six!"), "six!");
  }
  TAETestTcpClient c4("127.0.0.1", server.Port());
  EXPECT_EQ(Echo(c4, "four"), "four");
}

TEST(TcpServer, DeactivateWithIdleConnectionsReturnsPromptly) {
  TAETcpServer server(EchoHandler, kCap);
  server.Activate(0);
  std::vector<std::unique_ptr<TAETestTcpClient>> idle;
  for (int i = 0; i < 10; ++i) idle.push_back(std::make_unique<TAETestTcpClient>("127.0.0.1", server.Port()));
  idle[0]->Send("ab");  // one handler waits in the middle of a request
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 10; }));

  const std::uint16_t port = server.Port();
  auto stopped = std::async(std::launch::async, [&] { server.Deactivate(); });
  ASSERT_EQ(stopped.wait_for(1s), std::future_status::ready) << "Deactivate waited for idle connections";
  stopped.get();
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.ConnectionCount(), 0u);
  for (auto& c : idle) EXPECT_TRUE(c->WaitForEnd(2s));
  EXPECT_THROW(TAETestTcpClient("127.0.0.1", port), std::runtime_error) << "still listening";

  server.Deactivate();  // a second call does nothing
  server.Activate(0);   // and the server can listen again
  TAETestTcpClient again("127.0.0.1", server.Port());
  EXPECT_EQ(Echo(again, "back"), "back");
}

TEST(TcpServer, PortInUseRaisesNamingThePort) {
  TAETcpServer first(EchoHandler, kCap);
  first.Activate(0);
  TAETcpServer second(EchoHandler, kCap);
  try {
    second.Activate(first.Port());
    FAIL() << "a second server bound port " << first.Port();
  } catch (const EAEOsError& e) {
    EXPECT_NE(std::string(e.what()).find(std::to_string(first.Port())), std::string::npos) << e.what();
    EXPECT_STREQ(e.ClassName(), "EOSError");
  }
  EXPECT_FALSE(second.Active());
  TAETestTcpClient c("127.0.0.1", first.Port());
  EXPECT_EQ(Echo(c, "mine"), "mine");
}

TEST(TcpServer, ConnectionWithoutThreadIsClosedAndServerGoesOn) {
  std::atomic<int> starts{0};
  TAETcpServer server(EchoHandler, kCap, [&](std::function<void()> body) {
    if (++starts == 1) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  });
  server.Activate(0);
  TAETestTcpClient refused("127.0.0.1", server.Port());
  refused.Send("abcd");
  EXPECT_TRUE(refused.WaitForEnd()) << "the connection without a thread stayed open";
  TAETestTcpClient served("127.0.0.1", server.Port());
  EXPECT_EQ(Echo(served, "next"), "next");
  EXPECT_EQ(starts.load(), 2);
}

TEST(TcpServer, PeersThatMisbehaveLeaveOthersServed) {
  TAETcpServer server(EchoHandler, kCap);
  server.Activate(0);
  TAETestTcpClient good("127.0.0.1", server.Port());
  EXPECT_EQ(Echo(good, "one!"), "one!");
  {
    TAETestTcpClient partial("127.0.0.1", server.Port());
    partial.Send("xyz");  // three of four bytes, then gone
  }
  TAETestTcpClient reset("127.0.0.1", server.Port());
  reset.Send("xy");
  reset.Reset();
  TAETestTcpClient halfClosed("127.0.0.1", server.Port());
  halfClosed.Send("x");
  halfClosed.ShutdownSend();
  EXPECT_TRUE(halfClosed.WaitForEnd());
  EXPECT_EQ(Echo(good, "two!"), "two!");
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; })) << "finished connections were not let go";
}

TEST(TcpServer, ConnectionsBeyondTheCapAreClosedAtOnceWhenNoneIsIdle) {
  std::atomic<int> begun{0};  // requests whose first byte the server has read
  TAETcpServer server(
      [&](TAETcpConnection& c) {
        char buf[4];
        c.ReadExact(buf, 1);
        ++begun;
        c.ReadExact(buf + 1, 3);
        c.Write(buf, sizeof buf);
      },
      2);
  server.Activate(0);
  EXPECT_EQ(server.MaxConnections(), 2u);
  auto a = std::make_unique<TAETestTcpClient>("127.0.0.1", server.Port());
  TAETestTcpClient b("127.0.0.1", server.Port());
  ASSERT_EQ(Echo(*a, "aaaa"), "aaaa");  // both hold their places now
  ASSERT_EQ(Echo(b, "bbbb"), "bbbb");
  a->Send("a2");  // both in the middle of a request: busy
  b.Send("b2");
  ASSERT_TRUE(WaitUntil([&] { return begun.load() == 4; }));
  for (int i = 0; i < 3; ++i) {
    TAETestTcpClient extra("127.0.0.1", server.Port());
    EXPECT_TRUE(extra.WaitForEnd(5s)) << "connection " << i << " beyond the cap was kept";
  }
  EXPECT_EQ(server.ConnectionCount(), 2u);
  a->Send("a2");  // the ones within the cap go on as before
  EXPECT_EQ(a->Receive(4), "a2a2");
  b.Send("b2");
  EXPECT_EQ(b.Receive(4), "b2b2");
  a.reset();  // its place is free again once the server sees it go
  EXPECT_TRUE(EchoOnANewConnection(server.Port()));
  EXPECT_EQ(Echo(b, "b3b3"), "b3b3");
}

// Each step connects one client to a full server of three places: the client must be
// served at once, and the one named must be the connection closed for it.
TEST(TcpServer, ANewConnectionAtAFullCapTakesThePlaceOfAnIdleOne) {
  TAETcpServer server(EchoHandler, 3);
  server.Activate(0);
  std::vector<std::unique_ptr<TAETestTcpClient>> c;
  auto connect = [&] { c.push_back(std::make_unique<TAETestTcpClient>("127.0.0.1", server.Port())); };
  connect();  // 0: asks first
  connect();  // 1: never asks
  connect();  // 2: never asks
  ASSERT_EQ(Echo(*c[0], "zero"), "zero");
  struct TStep {
    const char* Why;
    int AsksBefore;      // index of a connection that asks before the new one comes, or -1
    std::size_t Closed;  // index of the connection that must lose its place
  };
  const TStep steps[] = {
      {"one that never asked goes before one that asked later, the oldest first", -1, 1},
      {"then the next one that never asked, though it came after", -1, 2},
      {"then, all having asked, the one idle longest", -1, 0},
      {"one that has just asked keeps its place", 3, 4},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.Why);
    if (step.AsksBefore >= 0) {
      ASSERT_EQ(Echo(*c[step.AsksBefore], "more"), "more");
    }
    connect();
    EXPECT_EQ(Echo(*c.back(), "new!"), "new!") << "the new connection was not served";
    EXPECT_TRUE(c[step.Closed]->WaitForEnd()) << "connection " << step.Closed << " kept its place";
    EXPECT_EQ(server.ConnectionCount(), 3u);
  }
  for (std::size_t i : {3u, 5u, 6u}) EXPECT_EQ(Echo(*c[i], "last"), "last") << "connection " << i << " lost its place";
}

// The procedure writes to a console, which may be slow; the connection that filled the
// cap must not be served before it has been told.
TEST(TcpServer, TheFullProcIsCalledEachTimeTheLastPlaceIsTaken) {
  std::atomic<int> full{0};
  TAETcpServer server(EchoHandler, 2);
  server.SetOnFull([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ++full;
  });
  server.Activate(0);
  TAETestTcpClient a("127.0.0.1", server.Port());
  ASSERT_EQ(Echo(a, "aaaa"), "aaaa");
  EXPECT_EQ(full.load(), 0);
  TAETestTcpClient b("127.0.0.1", server.Port());
  ASSERT_EQ(Echo(b, "bbbb"), "bbbb");
  EXPECT_EQ(full.load(), 1);
  TAETestTcpClient c("127.0.0.1", server.Port());  // takes a's place
  ASSERT_EQ(Echo(c, "cccc"), "cccc");
  EXPECT_EQ(full.load(), 2);
}

// The peer's end reaches the server before the next connection does; the server must
// see the place as free then, and not close a connection that is still there. The one
// closed is the one that asked last, so taking the one idle longest would be wrong.
TEST(TcpServer, APlaceClosedByItsPeerIsFreeForTheNextConnection) {
  TAETcpServer server(EchoHandler, 3);
  server.Activate(0);
  TAETestTcpClient a("127.0.0.1", server.Port());
  TAETestTcpClient b("127.0.0.1", server.Port());
  auto last = std::make_unique<TAETestTcpClient>("127.0.0.1", server.Port());
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(Echo(a, "a..."), "a...") << "a connection still there lost its place";
    ASSERT_EQ(Echo(b, "b..."), "b...") << "a connection still there lost its place";
    ASSERT_EQ(Echo(*last, "last"), "last");
    if (round % 2 == 0)
      last->Reset();
    else
      last.reset();
    last = std::make_unique<TAETestTcpClient>("127.0.0.1", server.Port());
    ASSERT_EQ(Echo(*last, "next"), "next") << "the freed place was not taken";
  }
}

// A peer that asks and does not read: its reply cannot be written, and that must not
// hold its place for ever.
TEST(TcpServer, AReplyThePeerDoesNotTakeEndsItsConnection) {
  constexpr auto kLimit = 300ms;
  const std::string big(32 << 20, 'x');  // far more than the socket buffers of both ends hold
  std::atomic<bool> cut{false};
  TAETcpServer server(
      [&](TAETcpConnection& c) {
        char buf[4];
        c.ReadRequest(buf, sizeof buf, 5s);
        try {
          if (std::string(buf, 4) == "big!")
            c.WriteReply(big.data(), big.size(), kLimit);
          else
            c.WriteReply(buf, sizeof buf, kLimit);
        } catch (const EAEOsError&) {
          cut = true;
          throw;
        }
      },
      1);
  server.Activate(0);
  TAETestTcpClient stuck("127.0.0.1", server.Port());
  stuck.Send("big!");
  ASSERT_TRUE(WaitUntil([&] { return cut.load(); }, 20s)) << "the write of an unread reply did not end";
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; })) << "the unread reply kept its place";
  EXPECT_LT(stuck.Receive(big.size()).size(), big.size()) << "the reply was not cut";
  TAETestTcpClient next("127.0.0.1", server.Port());
  EXPECT_EQ(Echo(next, "ping"), "ping");
}

// The limit starts at a request's first byte: a connection may be silent for longer,
// and a request sent in pieces is whole in time.
TEST(TcpServer, ARequestMustBeWholeWithinItsLimitOfItsFirstByte) {
  constexpr auto kLimit = 500ms;
  std::atomic<int> served{0};
  TAETcpServer server(
      [&](TAETcpConnection& c) {
        char buf[4];
        c.ReadRequest(buf, sizeof buf, kLimit);
        c.Write(buf, sizeof buf);
        ++served;
      },
      kCap);
  server.Activate(0);
  TAETestTcpClient c("127.0.0.1", server.Port());
  EXPECT_FALSE(c.WaitForEnd(2 * kLimit)) << "an idle connection was closed";
  c.Send("ab");
  EXPECT_FALSE(c.WaitForEnd(kLimit / 5));
  c.Send("cd");
  EXPECT_EQ(c.Receive(4), "abcd");
  EXPECT_FALSE(c.WaitForEnd(2 * kLimit)) << "idle after a request, the connection was closed";
  c.Send("x");
  EXPECT_TRUE(c.WaitForEnd(10s)) << "an unfinished request kept its connection";
  EXPECT_EQ(served.load(), 1);
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
}

}  // namespace
