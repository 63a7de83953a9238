// A TCP listening server with one thread per accepted connection, up to a cap. It
// listens on every local IPv4 address and, where the system has IPv6, on every local
// IPv6 address too, one listening socket and one listening thread per address family.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// One accepted connection. The server hands it to the handler on the connection's own
// thread; only that thread reads, writes and closes it. The server may shut it down
// at any moment (Deactivate, or to make room for a new connection while this one is
// idle), which wakes a blocked ReadExact or Write.
//
// A connection is idle while it waits for the first byte of a request: from then on
// until the handler returns (the request read, its reply written) it is busy.
class TAETcpConnection {
 public:
  virtual ~TAETcpConnection() = default;

  // Blocks, without a time limit, until exactly size bytes have arrived. Raises
  // EAEOsError when the peer closes or resets the connection, when it fails, and when
  // the server is deactivated.
  virtual void ReadExact(void* buffer, std::size_t size) = 0;

  // As ReadExact, but only the wait for the first byte has no time limit: the rest must
  // arrive within completeWithin of it, else the call raises EAEOsError (timed out) and
  // the connection counts as closed. A peer may stay idle between requests, but it
  // cannot hold a thread with a request it never finishes.
  virtual void ReadRequest(void* buffer, std::size_t size, std::chrono::milliseconds completeWithin) = 0;

  // Sends all size bytes; raises EAEOsError when the connection fails or the server is
  // deactivated.
  virtual void Write(const void* data, std::size_t size) = 0;

  // As Write, but the peer must take all size bytes within takenWithin of the call, else
  // the call raises EAEOsError (timed out) and the connection counts as closed: a peer
  // that asks and never reads cannot hold a thread either.
  virtual void WriteReply(const void* data, std::size_t size, std::chrono::milliseconds takenWithin) = 0;

  // Ends the connection after what has been written: the peer sees the end of the
  // stream, the handler is not called again and the server closes the socket.
  virtual void Close() = 0;

  // False after Close, and after the server shut the connection down.
  virtual bool IsOpen() const = 0;

  // The peer's address and port, "127.0.0.1:50123" or "[::1]:50123".
  virtual std::string PeerAddress() const = 0;
};

// Serves one request of a connection. The server calls it again and again on the
// connection's thread while the connection stays open; an exception from it closes the
// connection and ends the thread, quietly (the handler decides what is worth telling).
using TAEConnectionHandler = std::function<void(TAETcpConnection&)>;

// Starts a connection's thread. The default starts a std::thread; tests pass one that
// fails, to show that the server survives it.
using TAEThreadStarter = std::function<std::thread(std::function<void()>)>;

// Called on a listening thread each time a new connection finds the server full or
// takes its last free place.
using TAEServerFullProc = std::function<void()>;

class TAETcpServer {
 public:
  // At most maxConnections connections are served at once, so that peers cannot take
  // every descriptor of the process. A new connection at a full server takes the place
  // of an idle one: one that has not asked anything yet, the oldest first, else the one
  // idle longest. Only when every connection is busy is the new one closed at once.
  // A connection whose peer has already closed it counts as gone.
  TAETcpServer(TAEConnectionHandler handler, std::size_t maxConnections, TAEThreadStarter starter = {});
  ~TAETcpServer();  // deactivates
  TAETcpServer(const TAETcpServer&) = delete;
  TAETcpServer& operator=(const TAETcpServer&) = delete;

  // Binds port on all IPv4 addresses and, where the system has IPv6, on all IPv6
  // addresses (IPv6 only, so both binds succeed), then starts listening. Port 0 takes
  // one free port for both families (see Port). Raises EAEOsError naming the port when
  // a bind fails. Does nothing when already active.
  void Activate(std::uint16_t port);

  // Closes the listening sockets, shuts every open connection down (a handler blocked in
  // a read or write is woken and ends) and joins every thread the server started. Safe
  // to call when not active and any number of times. Not to be called from a handler.
  void Deactivate();

  bool Active() const;
  // The bound port while active (the chosen one after Activate(0)), else 0.
  std::uint16_t Port() const;
  // Listening sockets while active: 1 (IPv4) or 2 (IPv4 and IPv6).
  int ListenerCount() const;
  // Connections whose threads have not yet finished.
  std::size_t ConnectionCount() const;
  std::size_t MaxConnections() const;

  // Set before Activate; must return quickly (it holds up accepting).
  void SetOnFull(TAEServerFullProc onFull);

  // Activate, Deactivate and the queries may be called from any thread, but Activate and
  // Deactivate not at the same time from two threads.

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};
