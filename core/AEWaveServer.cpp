#include "AEWaveServer.h"

#include <cstring>
#include <limits>
#include <string>

#include "AEConsole.h"
#include "AEErrors.h"
#include "AEFileSystem.h"
#include "AEProtocol.h"
#include "VelkarnEvents.h"

namespace {

// Room for the largest usual hit file; a bigger reply buffer is let go after its send.
constexpr std::size_t kKeptReplyBytes = 1 << 20;

}  // namespace

void ServeWaveRequest(TAETcpConnection& connection, const TAESettings& settings,
                      std::atomic<std::int64_t>& waveRequests, std::atomic<std::int64_t>& waveServed,
                      const TAEWaveLimits& limits) {
  TAEWaveRequest request;
  connection.ReadRequest(&request, sizeof request, limits.RequestTimeout);
  waveRequests.fetch_add(1, std::memory_order_relaxed);

  TAEWaveReply reply{kWaveReplyMagic, wsFound, 0};
  // Header and file go out in one buffer and one send, and the file is read straight in
  // behind the header. The buffer stays with the connection's thread, so a reply needs
  // no allocation once the buffer has grown to the size of a hit file.
  thread_local std::string message;
  message.assign(sizeof reply, '\0');
  if (request.Magic == kWaveRequestMagic && request.AgentId == settings.AgentId) {
    // The path is built from numbers only, below DataRoot: no request can name another file.
    const std::string path = HitFileName(settings.DataRoot, request.Channel, request.FileTime, request.Seq);
    // No file there, or a folder in its place, is "not found"; the open is the test, so
    // a file deleted meanwhile cannot fail the read.
    if (TryAppendFile(path, message)) {
      if (message.size() - sizeof reply > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        std::string().swap(message);
        throw EAEProtocolError("Hit file \"" + path + "\" is too large to serve");
      }
      reply.Status = wsFound;
      waveServed.fetch_add(1, std::memory_order_relaxed);
    } else {
      reply.Status = wsNotFound;
    }
  } else {
    reply.Status = wsBadRequest;
  }
  reply.Length = static_cast<std::int32_t>(message.size() - sizeof reply);
  std::memcpy(message.data(), &reply, sizeof reply);
  connection.WriteReply(message.data(), message.size(), limits.ReplyTimeout);
  // An outsized file is not kept in memory until the connection ends.
  if (message.capacity() > kKeptReplyBytes) std::string().swap(message);
  if (reply.Status == wsBadRequest) connection.Close();
}

TAEWaveServer::TAEWaveServer(const TAESettings& settings, std::atomic<std::int64_t>& waveRequests,
                             std::atomic<std::int64_t>& waveServed, const TAEWaveLimits& limits, TAEWaveLogProc log)
    : FLimits(limits),
      FLog(log ? std::move(log) : [](const std::string& line) { ConsoleWriteLine(EventTime() + "  " + line); }),
      FServer(
          [&settings, &waveRequests, &waveServed, this](TAETcpConnection& c) {
            ServeWaveRequest(c, settings, waveRequests, waveServed, FLimits);
          },
          limits.MaxConnections) {
  FServer.SetOnFull([this] { NoteFull(); });
}

void TAEWaveServer::NoteFull() {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(FNoticeLock);
    if (FLastNotice && now - *FLastNotice < FLimits.FullNoticeEvery) return;
    FLastNotice = now;
  }
  FLog("wave server: " + std::to_string(FLimits.MaxConnections) +
       " connections, the longest idle one is closed for each new one");
}
