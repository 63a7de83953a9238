// The ceiling of one wave-server connection: a bare loopback peer that answers every
// 24-byte request with a fixed reply from memory, one thread, one send per reply. Work
// before each reply (a file read) shows what that cost does to one connection's round
// trip.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TBareReplyServer {
 public:
  // Listens on 127.0.0.1 on a free port and serves one connection at a time.
  explicit TBareReplyServer(std::string reply, std::function<void()> beforeReply = {});
  ~TBareReplyServer();  // ends the connection and joins the thread
  TBareReplyServer(const TBareReplyServer&) = delete;
  TBareReplyServer& operator=(const TBareReplyServer&) = delete;
  std::uint16_t Port() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};
