#include "AETcpServer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "AEErrors.h"
#include "AETcpServerBackend.h"

namespace {

// A failed accept (no file descriptors left, a transient network error) is retried
// after this pause, so that a full descriptor table does not turn the loop into a spin.
constexpr std::chrono::milliseconds kAcceptBackoff{100};

// Port 0 asks for a free port on IPv4 that must also be free on IPv6; another program
// may hold it there, so a few fresh ports are tried.
constexpr int kEphemeralPortAttempts = 8;

// A connection whose thread is about to see its peer's end frees its place in a moment;
// a new connection at a full cap waits for that at most this long rather than take the
// place of one still in use.
constexpr std::chrono::milliseconds kGoneWait{1000};
// How long a collector that has asked is kept at a full cap before it is pushed out, for
// a peer's end that the system tells after the next connection.
constexpr std::chrono::milliseconds kEvictGrace{200};
constexpr std::chrono::milliseconds kPlaceRecheck{2};

struct TConnection {
  std::unique_ptr<IAEAcceptedSocket> Socket;  // guarded by TImpl::FLock; null once finished
  std::thread Thread;                          // guarded by TImpl::FLock
  bool Done = false;                           // guarded by TImpl::FLock
  // Closed to make room for another and no longer counted, though its thread may still
  // be ending; guarded by TImpl::FLock.
  bool Leaving = false;
};

}  // namespace

struct TAETcpServer::TImpl {
  TAEConnectionHandler FHandler;
  TAEThreadStarter FStarter;
  TAEServerFullProc FOnFull;
  std::size_t FMaxConnections = 0;

  std::mutex FActivation;  // serialises Activate and Deactivate
  std::vector<std::unique_ptr<IAEListenSocket>> FListeners;  // guarded by FActivation
  std::vector<std::thread> FListenThreads;                    // guarded by FActivation
  std::atomic<bool> FActive{false};
  std::atomic<std::uint16_t> FPort{0};
  std::atomic<int> FListenerCount{0};

  mutable std::mutex FLock;
  std::condition_variable FStopCv;                    // signalled when FStopping is set
  std::condition_variable FFreedCv;                   // signalled when a connection's thread ends
  bool FStopping = false;                             // guarded by FLock
  std::atomic<bool> FStoppingFlag{false};  // FStopping for the per-request check, without the lock
  std::list<std::shared_ptr<TConnection>> FConnections;  // guarded by FLock
  std::size_t FServing = 0;  // connections in FConnections not yet Done; guarded by FLock

  void StopLocked();  // REQUIRES: FActivation held
  void AcceptLoop(IAEListenSocket& listener);
  bool WaitForStop(std::chrono::milliseconds period);
  void StartConnection(std::unique_ptr<IAEAcceptedSocket> socket);
  void RunConnection(TConnection& conn);
  void ReapFinished();
  bool MakeRoom(std::unique_lock<std::mutex>& lock);  // REQUIRES: lock holds FLock
  bool Stopping() const { return FStoppingFlag.load(std::memory_order_relaxed); }
};

TAETcpServer::TAETcpServer(TAEConnectionHandler handler, std::size_t maxConnections, TAEThreadStarter starter)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->FHandler = std::move(handler);
  FImpl->FMaxConnections = maxConnections;
  FImpl->FStarter = starter ? std::move(starter) : [](std::function<void()> body) { return std::thread(std::move(body)); };
}

TAETcpServer::~TAETcpServer() { Deactivate(); }

bool TAETcpServer::Active() const { return FImpl->FActive.load(); }
std::uint16_t TAETcpServer::Port() const { return FImpl->FPort.load(); }
int TAETcpServer::ListenerCount() const { return FImpl->FListenerCount.load(); }
std::size_t TAETcpServer::MaxConnections() const { return FImpl->FMaxConnections; }

void TAETcpServer::SetOnFull(TAEServerFullProc onFull) { FImpl->FOnFull = std::move(onFull); }

std::size_t TAETcpServer::ConnectionCount() const {
  std::lock_guard lock(FImpl->FLock);
  return FImpl->FServing;
}

void TAETcpServer::Activate(std::uint16_t port) {
  TImpl& m = *FImpl;
  std::lock_guard activation(m.FActivation);
  if (m.FActive) return;

  std::vector<std::unique_ptr<IAEListenSocket>> listeners;
  for (int attempt = 1;; ++attempt) {
    listeners.clear();
    auto v4 = OpenTcpListener(TAEAddressFamily::IPv4, port);
    const std::uint16_t bound = v4->Port();
    listeners.push_back(std::move(v4));
    try {
      if (auto v6 = OpenTcpListener(TAEAddressFamily::IPv6, bound)) listeners.push_back(std::move(v6));
      break;
    } catch (const EAEOsError& e) {
      if (port != 0 || !IsAddressInUseError(e.OsError()) || attempt == kEphemeralPortAttempts) throw;
    }
  }

  {
    std::lock_guard lock(m.FLock);
    m.FStopping = false;
    m.FStoppingFlag = false;
  }
  m.FListeners = std::move(listeners);
  try {
    for (auto& l : m.FListeners) {
      IAEListenSocket* listener = l.get();
      m.FListenThreads.emplace_back([&m, listener] { m.AcceptLoop(*listener); });
    }
  } catch (const std::system_error& e) {
    m.StopLocked();  // ends the listening threads that did start
    throw EAEOsError("Cannot start the listening thread of TCP port " + std::to_string(port) + ": " + e.what(),
                     e.code().value());
  }
  m.FPort = m.FListeners.front()->Port();
  m.FListenerCount = static_cast<int>(m.FListeners.size());
  m.FActive = true;
}

void TAETcpServer::Deactivate() {
  std::lock_guard activation(FImpl->FActivation);
  FImpl->StopLocked();
}

void TAETcpServer::TImpl::StopLocked() {
  if (FListeners.empty() && FListenThreads.empty()) return;
  {
    std::lock_guard lock(FLock);
    FStopping = true;
    FStoppingFlag = true;
  }
  FStopCv.notify_all();
  for (auto& l : FListeners) l->Wake();
  for (auto& t : FListenThreads) t.join();
  FListenThreads.clear();

  // No listener runs any more, so the list cannot grow. Shut every connection down:
  // recv() cannot see a flag, and shutting the socket down is what wakes it.
  std::list<std::shared_ptr<TConnection>> connections;
  {
    std::lock_guard lock(FLock);
    for (auto& c : FConnections)
      if (c->Socket) c->Socket->Abort();
    connections.swap(FConnections);
  }
  // FServing falls back to 0 as each of these threads ends.
  for (auto& c : connections)
    if (c->Thread.joinable()) c->Thread.join();

  FListeners.clear();
  FActive = false;
  FPort = 0;
  FListenerCount = 0;
}

bool TAETcpServer::TImpl::WaitForStop(std::chrono::milliseconds period) {
  std::unique_lock lock(FLock);
  return FStopCv.wait_for(lock, period, [this] { return FStopping; });
}

void TAETcpServer::TImpl::AcceptLoop(IAEListenSocket& listener) {
  for (;;) {
    std::unique_ptr<IAEAcceptedSocket> socket;
    try {
      socket = listener.Accept();
    } catch (const std::exception&) {
      // The listener itself stays usable; the peer of a failed accept has to retry.
      if (WaitForStop(kAcceptBackoff)) return;
      continue;
    }
    if (!socket) return;  // woken by Deactivate
    ReapFinished();
    StartConnection(std::move(socket));
  }
}

void TAETcpServer::TImpl::StartConnection(std::unique_ptr<IAEAcceptedSocket> socket) {
  auto conn = std::make_shared<TConnection>();
  bool tellFull = false;
  bool admitted = false;
  {
    std::unique_lock lock(FLock);
    const bool full = FServing >= FMaxConnections;
    tellFull = full || FServing + 1 == FMaxConnections;
    admitted = !full || MakeRoom(lock);
    if (admitted) {
      conn->Socket = std::move(socket);
      FConnections.push_back(conn);
      ++FServing;
    }
  }
  // Full with none idle: closed at once, so that a peer cannot hold a thread and a
  // descriptor with a connection we do not serve.
  if (!admitted) socket.reset();
  // Told outside the lock, as the procedure may write to the console, and before the
  // connection is served, so that whoever it serves sees the cap already told.
  if (tellFull && FOnFull) FOnFull();
  if (!admitted) return;
  std::thread thread;
  try {
    thread = FStarter([this, raw = conn.get()] { RunConnection(*raw); });
  } catch (const std::exception&) {
    // No thread for this connection: close it and keep accepting the others.
    std::unique_ptr<IAEAcceptedSocket> dropped;
    std::lock_guard lock(FLock);
    dropped = std::move(conn->Socket);
    FConnections.remove(conn);
    --FServing;
    return;
  }
  std::lock_guard lock(FLock);
  conn->Thread = std::move(thread);
}

void TAETcpServer::TImpl::RunConnection(TConnection& conn) {
  // The socket pointer does not change while this thread runs: only this thread
  // resets it, at its end.
  TAETcpConnection& c = *conn.Socket;
  try {
    while (c.IsOpen() && !Stopping()) {
      FHandler(c);
      conn.Socket->MarkIdle();  // for a handler that returns without writing
    }
  } catch (const std::exception&) {
    // A closed, reset or shut-down connection, or a request the handler refused: the
    // connection ends here. The handler reports what it wants reported.
  }
  std::unique_ptr<IAEAcceptedSocket> finished;
  {
    std::lock_guard lock(FLock);
    finished = std::move(conn.Socket);
    conn.Done = true;
    if (!conn.Leaving) --FServing;
  }
  FFreedCv.notify_all();
  // finished closes the socket here, outside the lock.
}

void TAETcpServer::TImpl::ReapFinished() {
  std::list<std::shared_ptr<TConnection>> done;
  {
    std::lock_guard lock(FLock);
    for (auto it = FConnections.begin(); it != FConnections.end();) {
      if ((*it)->Done && (*it)->Thread.joinable()) {
        done.push_back(std::move(*it));
        it = FConnections.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : done) c->Thread.join();  // the thread has finished its work; join is quick
}

bool TAETcpServer::TImpl::MakeRoom(std::unique_lock<std::mutex>& lock) {
  auto live = [](const TConnection& c) { return c.Socket && !c.Done && !c.Leaving; };
  auto take = [this](TConnection& c) {
    c.Leaving = true;
    --FServing;
    c.Socket->Abort();
  };
  // A peer that has just closed frees its place even before its thread has seen it.
  auto takeGone = [&] {
    bool freed = false;
    for (auto& c : FConnections)
      if (live(*c) && c->Socket->Idle() && c->Socket->PeerGone() && c->Socket->TakeIdle()) {
        take(*c);
        freed = true;
      }
    return freed;
  };
  // Waits at most limit, while worthWaiting holds, for a place to come free: by a
  // connection's end or by a peer's end that PeerGone sees. True once one has.
  auto waitForPlace = [&](std::chrono::milliseconds limit, auto worthWaiting) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!FStopping && std::chrono::steady_clock::now() < until && worthWaiting()) {
      FFreedCv.wait_for(lock, kPlaceRecheck);
      if (FServing < FMaxConnections || takeGone()) return true;
    }
    return false;
  };
  // A connection whose thread is about to see its peer's end: one busy whose peer has
  // gone (just done writing a reply), or one that PeerGone cannot see into now.
  auto endComing = [&] {
    for (auto& c : FConnections)
      if (live(*c) && (c->Socket->PeerUnseen() || (!c->Socket->Idle() && c->Socket->PeerGone()))) return true;
    return false;
  };
  // A peer's end and its next connection come on two sockets, and the system may tell
  // the server of the end last: a collector that has asked is pushed out only after a
  // moment in which such an end would free a place instead.
  auto onlyAskedIdle = [&] {
    bool asked = false;
    for (auto& c : FConnections)
      if (live(*c) && c->Socket->Idle()) {
        if (!c->Socket->Asked()) return false;
        asked = true;
      }
    return asked;
  };
  if (takeGone() || waitForPlace(kGoneWait, endComing) || waitForPlace(kEvictGrace, onlyAskedIdle)) return true;
  if (FStopping) return false;
  // Connections that never asked anything go first, the oldest first, so that a peer
  // that only connects cannot push out a collector that uses its connection; then the
  // one idle longest.
  struct TCandidate {
    bool Asked;
    std::chrono::steady_clock::rep IdleSince;
    TConnection* Conn;
  };
  std::vector<TCandidate> idle;
  for (auto& c : FConnections)
    if (live(*c) && c->Socket->Idle())
      idle.push_back({c->Socket->Asked(), c->Socket->IdleSince(), c.get()});
  std::sort(idle.begin(), idle.end(), [](const TCandidate& a, const TCandidate& b) {
    if (a.Asked != b.Asked) return !a.Asked;
    return a.IdleSince < b.IdleSince;
  });
  for (const TCandidate& c : idle)
    if (c.Conn->Socket->TakeIdle()) {
      take(*c.Conn);
      return true;
    }
  return false;
}
