#include "AEMqttWss.h"

#include <chrono>

#include "AEConvert.h"
#include "AEErrors.h"

std::string ApiFailureText(const std::string& step, const std::string& reason) {
  return step + " failed: " + reason;
}

TAEWssEndpoint TAEWssTransport::ParseUrl(const std::string& url) {
  TAEWssEndpoint ep;
  std::string s = url;
  if (StartsWithNoCase(s, "wss://")) {
    s.erase(0, 6);
  } else if (StartsWithNoCase(s, "ws://")) {
    s.erase(0, 5);
    ep.Secure = false;
  }
  // Any other scheme stays in the text; its colon then makes the port text fail below.
  const auto slash = s.find('/');
  if (slash != std::string::npos) {
    ep.Path = s.substr(slash);
    s.erase(slash);
  }
  const auto colon = s.find(':');
  if (colon == std::string::npos) {
    ep.Host = s;
    ep.Port = ep.Secure ? 443 : 80;
    return ep;
  }
  ep.Host = s.substr(0, colon);
  const std::string portText = s.substr(colon + 1);
  const std::int32_t port = StrToInt(portText);
  // Cutting 65537 to 1, or handing 0 to the connect, would reach a port nobody asked for.
  if (port < 1 || port > 65535)
    throw EAEConvertError("'" + portText + "' is not a valid port number (1 to 65535)");
  ep.Port = static_cast<std::uint16_t>(port);
  return ep;
}

void TAEWssTransport::Deliver(const std::uint8_t* data, std::size_t n) {
  {
    std::lock_guard lock(FLock);
    FInbox.insert(FInbox.end(), data, data + n);
    FSignalled = true;
  }
  FDataReady.notify_all();
}

void TAEWssTransport::MarkEnded(const std::string& reason) {
  {
    std::lock_guard lock(FLock);
    // The first end wins: after a local Close, the error or close frame that the
    // reader then sees is only the echo of it.
    if (!FClosed.load(std::memory_order_relaxed)) FError = reason;
    FClosed.store(true, std::memory_order_release);
    FSignalled = true;
  }
  // The last pass signals too, so a waiting Receive raises at once instead of timing out.
  FDataReady.notify_all();
}

void TAEWssTransport::SetClosedLocally() {
  std::lock_guard lock(FLock);
  FClosed.store(true, std::memory_order_release);
}

void TAEWssTransport::ResetInbox() {
  std::lock_guard lock(FLock);
  FClosed.store(false, std::memory_order_release);
  FError.clear();
  FInbox.clear();
  FSignalled = false;
}

std::string TAEWssTransport::NotOpenText() const {
  std::lock_guard lock(FLock);
  return FError.empty() ? "WebSocket not open" : "WebSocket not open: " + FError;
}

std::int32_t TAEWssTransport::Receive(std::vector<std::uint8_t>& buf, std::int32_t timeoutMs) {
  std::unique_lock lock(FLock);
  // Auto-reset event: a signal nobody waited for ends the next wait at once, possibly
  // with nothing left to take; the caller simply calls again.
  FDataReady.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                      [&] { return FSignalled; });
  FSignalled = false;
  const auto n = static_cast<std::int32_t>(FInbox.size());
  if (n > 0) {
    buf.insert(buf.end(), FInbox.begin(), FInbox.end());
    FInbox.clear();
    return n;
  }
  if (FClosed.load(std::memory_order_relaxed))
    throw EAEError(FError.empty() ? std::string("WebSocket closed") : FError);
  return 0;
}

std::unique_ptr<IAEMqttTransport> CreateWssTransport(const std::string& url) {
  return std::make_unique<TAEWssTransport>(url);
}
