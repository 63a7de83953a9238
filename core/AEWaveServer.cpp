#include "AEWaveServer.h"

#include <cstring>
#include <limits>
#include <string>

#include "AEErrors.h"
#include "AEFileSystem.h"
#include "AEProtocol.h"

void ServeWaveRequest(TAETcpConnection& connection, const TAESettings& settings,
                      std::atomic<std::int64_t>& waveRequests, std::atomic<std::int64_t>& waveServed) {
  TAEWaveRequest request;
  connection.ReadRequest(&request, sizeof request, kWaveRequestTimeout);
  waveRequests.fetch_add(1, std::memory_order_relaxed);

  TAEWaveReply reply{kWaveReplyMagic, wsFound, 0};
  // Header and file go out in one buffer, so the reply leaves in as few segments as
  // its size allows.
  std::string message;
  std::string file;
  if (request.Magic == kWaveRequestMagic && request.AgentId == settings.AgentId) {
    // The path is built from numbers only, below DataRoot: no request can name another file.
    const std::string path = HitFileName(settings.DataRoot, request.Channel, request.FileTime, request.Seq);
    // A file deleted between the test and the read is "not found" as well.
    if (FileExists(path) && TryReadWholeFile(path, file)) {
      if (file.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw EAEProtocolError("Hit file \"" + path + "\" is too large to serve");
      reply.Status = wsFound;
      waveServed.fetch_add(1, std::memory_order_relaxed);
    } else {
      reply.Status = wsNotFound;
    }
  } else {
    reply.Status = wsBadRequest;
  }
  reply.Length = static_cast<std::int32_t>(file.size());

  message.resize(sizeof reply + file.size());
  std::memcpy(message.data(), &reply, sizeof reply);
  if (!file.empty()) std::memcpy(message.data() + sizeof reply, file.data(), file.size());
  connection.Write(message.data(), message.size());
  if (reply.Status == wsBadRequest) connection.Close();
}

TAEWaveServer::TAEWaveServer(const TAESettings& settings, std::atomic<std::int64_t>& waveRequests,
                             std::atomic<std::int64_t>& waveServed)
    : FServer(
          [&settings, &waveRequests, &waveServed](TAETcpConnection& c) {
            ServeWaveRequest(c, settings, waveRequests, waveServed);
          },
          kWaveMaxConnections) {}
