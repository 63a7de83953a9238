#include "AEMqttTcpTransport.h"

#include <algorithm>

#include "AEErrors.h"
#include "AEMqttPacket.h"

TAETcpTransport::TAETcpTransport(std::string host, std::uint16_t port) : FHost(std::move(host)), FPort(port) {}

TAETcpTransport::~TAETcpTransport() { Close(); }

std::unique_ptr<IAEMqttTransport> CreateTcpTransport(const std::string& host, std::uint16_t port) {
  return std::make_unique<TAETcpTransport>(host, port);
}

std::string TAETcpTransport::Describe() const { return "mqtt://" + FHost + ":" + std::to_string(FPort); }

void TAETcpTransport::Open() {
  FSocket.Close();  // not Close: an Abort from another thread must stay in force
  if (FHost.empty()) throw EAEError("A Host is required");
  if (FPort == 0) throw EAEError("A Port is required");
  FEnded = false;
  FOpened = false;
  // Connect leaves nothing open when it raises.
  FSocket = TAESocket::Connect(FHost, FPort, kConnectTimeoutMs, &FCancel);
  FOpened = true;
}

void TAETcpTransport::Close() {
  FSocket.Close();
  FCancel.Reset();
}

void TAETcpTransport::Abort() { FCancel.Cancel(); }

void TAETcpTransport::MarkEnded() {
  FEnded = true;
  FSocket.Close();
}

void TAETcpTransport::ThrowClosed() const {
  if (!FOpened) throw EAEError("Not Connected.");
  throw EAEError("Connection Closed Gracefully.");
}

void TAETcpTransport::Send(const std::vector<std::uint8_t>& data) {
  if (data.empty()) return;
  if (!FSocket.IsOpen()) ThrowClosed();
  try {
    FSocket.SendAll(data);
  } catch (const EAESocketError& e) {
    if (IsConnectionEndedError(e.OsError())) MarkEnded();
    throw;
  }
}

std::int32_t TAETcpTransport::Receive(std::vector<std::uint8_t>& buf, std::int32_t timeoutMs) {
  if (!FSocket.IsOpen()) ThrowClosed();
  std::ptrdiff_t n;
  try {
    n = FSocket.Receive(FChunk, std::max<std::int32_t>(timeoutMs, 0));
  } catch (const EAESocketError& e) {
    if (!IsConnectionEndedError(e.OsError())) throw;
    n = 0;
  }
  if (n == 0) {  // the peer's orderly close, or a reset: bytes before it were handed over already
    MarkEnded();
    ThrowClosed();
  }
  if (n < 0) return 0;
  AppendBytes(buf, std::span<const std::uint8_t>(FChunk.data(), static_cast<std::size_t>(n)));
  return static_cast<std::int32_t>(n);
}
