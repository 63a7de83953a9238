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

void TAEWssLink::Deliver(const std::uint8_t* data, std::size_t n) {
  {
    std::lock_guard lock(Lock);
    Inbox.insert(Inbox.end(), data, data + n);
    Signalled = true;
  }
  Changed.notify_all();
}

void TAEWssLink::MarkEnded(const std::string& reason) {
  {
    std::lock_guard lock(Lock);
    if (!Closed.load(std::memory_order_relaxed)) Error = reason;
    Closed.store(true, std::memory_order_release);
    Signalled = true;
  }
  // The last pass signals too, so a waiting Receive raises at once instead of timing out.
  Changed.notify_all();
}

void TAEWssLink::MarkReaderDone() {
  {
    std::lock_guard lock(Lock);
    ReaderDone = true;
  }
  Changed.notify_all();
}

void TAEWssLink::SetClosedLocally() {
  std::lock_guard lock(Lock);
  Closed.store(true, std::memory_order_release);
}

bool TAEWssLink::WaitReaderDone(std::chrono::milliseconds limit) {
  std::unique_lock lock(Lock);
  return Changed.wait_for(lock, limit, [&] { return ReaderDone; });
}

std::string TAEWssLink::NotOpenText() const {
  std::lock_guard lock(Lock);
  return Error.empty() ? "WebSocket not open" : "WebSocket not open: " + Error;
}

std::int32_t TAEWssTransport::Receive(std::vector<std::uint8_t>& buf, std::int32_t timeoutMs) {
  TAEWssLink& link = *FLink;
  std::unique_lock lock(link.Lock);
  // Auto-reset event: a signal nobody waited for ends the next wait at once, possibly
  // with nothing left to take; the caller simply calls again.
  link.Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                        [&] { return link.Signalled; });
  link.Signalled = false;
  const auto n = static_cast<std::int32_t>(link.Inbox.size());
  if (n > 0) {
    buf.insert(buf.end(), link.Inbox.begin(), link.Inbox.end());
    link.Inbox.clear();
    return n;
  }
  if (link.IsEnded()) throw EAEError(link.Error.empty() ? std::string("WebSocket closed") : link.Error);
  return 0;
}

void TAEWssTransport::EnterOpen() {
  std::lock_guard lock(FAbortLock);
  if (FAborted) throw EAEError("WebSocket open aborted");
  FOpening = true;
}

void TAEWssTransport::LeaveOpen() {
  std::lock_guard lock(FAbortLock);
  FOpening = false;
}

void TAEWssTransport::ThrowIfAborted() {
  std::lock_guard lock(FAbortLock);
  if (FAborted) throw EAEError("WebSocket open aborted");
}

void TAEWssTransport::Close() {
  CloseStream();
  std::lock_guard lock(FAbortLock);
  FAborted = false;
}

std::unique_ptr<IAEMqttTransport> CreateWssTransport(const std::string& url) {
  return std::make_unique<TAEWssTransport>(url);
}
