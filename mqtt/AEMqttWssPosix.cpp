// WebSocket backend for Linux: Boost.Beast over Boost.Asio, TLS through OpenSSL.
// Open runs the connect and both handshakes on the caller's thread; afterwards every
// operation on the stream runs on the reader thread, which drives the stream's
// io_context: Send and Close post their work there, so the stream is never touched by
// two threads at once (neither Beast nor an SSL object allows that).
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <future>
#include <optional>

#include "AEErrors.h"
#include "AEMqttWss.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {
// Bounds every step of Open after the name lookup: a peer that stops answering must not
// hang the MQTT thread.
constexpr auto kStepTimeout = std::chrono::seconds(30);
constexpr std::size_t kReadChunk = 65536;
// How long the close handshake may take before the connection is simply dropped.
constexpr auto kCloseTimeout = std::chrono::seconds(5);

// Runs one asynchronous operation to its end on the caller's thread.
template <class Start>
beast::error_code RunToEnd(asio::io_context& ioc, Start start) {
  beast::error_code result;
  start([&result](beast::error_code ec, auto&&...) { result = ec; });
  ioc.run();
  ioc.restart();
  return result;
}

std::string TlsFailureText(SSL* ssl, const beast::error_code& ec) {
  std::string text = ec.message();
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) text += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
  return text;
}
}  // namespace

struct TAEWssTransport::TBackend {
  using TPlain = websocket::stream<beast::tcp_stream>;
  using TSecure = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

  // Declaration order is destruction order reversed: streams go before the context.
  asio::io_context Ioc;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> Work;
  std::optional<asio::ssl::context> Tls;
  std::unique_ptr<TPlain> Ws;
  std::unique_ptr<TSecure> Wss;
  std::array<std::uint8_t, kReadChunk> Buffer{};
  std::shared_ptr<TAEWssLink> Link;  // the connection's inbox and end

  template <class F>
  void WithStream(F f) {
    if (Wss) f(*Wss);
    else f(*Ws);
  }

  // One read at a time, each re-armed by the last; the chain stops at the first error.
  template <class S>
  void StartRead(S& stream) {
    stream.async_read_some(asio::buffer(Buffer), [this, &stream](beast::error_code ec, std::size_t n) {
      if (n > 0) Link->Deliver(Buffer.data(), n);
      if (ec == websocket::error::closed) {
        Link->MarkEnded("closed by the server");
      } else if (ec) {
        Link->MarkEnded("WebSocket receive error " + std::to_string(ec.value()));
      } else {
        StartRead(stream);
      }
    });
  }
};

TAEWssTransport::TAEWssTransport(const std::string& url) : FUrl(url), FEndpoint(ParseUrl(url)) {}

TAEWssTransport::~TAEWssTransport() { Close(); }

namespace {
template <class S>
void Handshake(S& ws, const TAEWssEndpoint& ep, asio::io_context& ioc) {
  const bool defaultPort = ep.Port == (ep.Secure ? 443 : 80);
  const std::string hostHeader = defaultPort ? ep.Host : ep.Host + ":" + std::to_string(ep.Port);
  ws.set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
    req.set(beast::http::field::user_agent, "KIVU-Velkarn/1.0");
    req.set(beast::http::field::sec_websocket_protocol, "mqtt");
  }));
  websocket::response_type response;
  const auto ec = RunToEnd(ioc, [&](auto done) { ws.async_handshake(response, hostHeader, ep.Path, done); });
  if (!ec) return;
  const int status = static_cast<int>(response.result_int());
  if (status != 0 && status != 101) throw EAEError("WebSocket upgrade refused: HTTP " + std::to_string(status));
  throw EAEError(ApiFailureText("WebSocket upgrade", ec.message()));
}

// Every Send is one binary message in one frame; reads have no size limit, as the
// broker's packets may be as large as MQTT allows.
template <class S>
void SetMessageOptions(S& ws) {
  ws.binary(true);
  ws.auto_fragment(false);
  ws.read_message_max(0);
}
}  // namespace

namespace {
// Ends Open's time as an Open in progress on every way out.
template <class F>
struct TOnExit {
  F Run;
  ~TOnExit() { Run(); }
};
template <class F>
TOnExit(F) -> TOnExit<F>;
}  // namespace

void TAEWssTransport::Open() {
  CloseStream();
  NewLink();
  EnterOpen();
  TOnExit leave{[this] { LeaveOpen(); }};
  {
    std::lock_guard lock(FAbortLock);  // Abort may reach for it from now on
    FBackend = std::make_unique<TBackend>();
  }
  TBackend& b = *FBackend;
  b.Link = FLink;
  const TAEWssEndpoint& ep = FEndpoint;

  tcp::resolver resolver(b.Ioc);
  beast::error_code ec;
  const auto addresses = resolver.resolve(ep.Host, std::to_string(ep.Port), ec);
  if (ec) throw EAEError(ApiFailureText("Resolve " + ep.Host, ec.message()));

  if (ep.Secure) {
    b.Tls.emplace(asio::ssl::context::tls_client);
    // The platform's trust store (SSL_CERT_FILE and SSL_CERT_DIR are honoured), and no
    // switch to skip the check.
    b.Tls->set_default_verify_paths(ec);
    b.Tls->set_verify_mode(asio::ssl::verify_peer);
    b.Wss = std::make_unique<TBackend::TSecure>(b.Ioc, *b.Tls);
    SSL* ssl = b.Wss->next_layer().native_handle();
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    boost::system::error_code notIp;
    asio::ip::make_address(ep.Host, notIp);
    if (notIp) {
      SSL_set_tlsext_host_name(ssl, ep.Host.c_str());
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      X509_VERIFY_PARAM_set1_host(param, ep.Host.c_str(), 0);
    } else {
      X509_VERIFY_PARAM_set1_ip_asc(param, ep.Host.c_str());
    }
  } else {
    b.Ws = std::make_unique<TBackend::TPlain>(b.Ioc);
  }

  b.WithStream([&](auto& ws) {
    auto& tcpLayer = beast::get_lowest_layer(ws);
    tcpLayer.expires_after(kStepTimeout);
    auto failed = RunToEnd(b.Ioc, [&](auto done) { tcpLayer.async_connect(addresses, done); });
    if (failed) throw EAEError(ApiFailureText("Connect to " + ep.Host, failed.message()));
  });
  if (b.Wss) {
    auto& tls = b.Wss->next_layer();
    beast::get_lowest_layer(*b.Wss).expires_after(kStepTimeout);
    auto failed = RunToEnd(b.Ioc, [&](auto done) { tls.async_handshake(asio::ssl::stream_base::client, done); });
    if (failed) throw EAEError(ApiFailureText("TLS handshake", TlsFailureText(tls.native_handle(), failed)));
  }
  b.WithStream([&](auto& ws) {
    beast::get_lowest_layer(ws).expires_after(kStepTimeout);
    Handshake(ws, ep, b.Ioc);
    // From here on the stream waits for the broker as long as it takes: the MQTT
    // keep-alive finds a silent broker, and Close wakes the reader.
    beast::get_lowest_layer(ws).expires_never();
    SetMessageOptions(ws);
    // The read that meets a close frame completes only once the server has also ended
    // the TCP connection; the stream has ended for us as soon as the frame is here.
    ws.control_callback([link = b.Link.get()](websocket::frame_type kind, beast::string_view) {
      if (kind == websocket::frame_type::close) link->MarkEnded("closed by the server");
    });
    ws.set_option(websocket::stream_base::timeout{kCloseTimeout, websocket::stream_base::none(), false});
  });
  // An Abort that came after the last step has posted a close the reader must not run.
  LeaveOpen();
  ThrowIfAborted();

  b.Work.emplace(b.Ioc.get_executor());
  b.WithStream([&](auto& ws) { asio::post(b.Ioc, [&b, &ws] { b.StartRead(ws); }); });
  // The reader: runs the stream's reads and, posted to it, the writes of Send and the
  // socket close of Close; it ends when Close drops the work guard.
  FReader = std::thread([&b] { b.Ioc.run(); });
}

void TAEWssTransport::Abort() {
  std::lock_guard lock(FAbortLock);
  FAborted = true;
  if (!FOpening || !FBackend) return;
  // Run by the step in progress (or the next one): closing the socket ends its wait.
  TBackend& b = *FBackend;
  asio::post(b.Ioc, [&b] {
    if (b.Ws || b.Wss) b.WithStream([](auto& ws) { beast::get_lowest_layer(ws).close(); });
  });
}

void TAEWssTransport::CloseStream() {
  FLink->SetClosedLocally();
  if (!FBackend) return;
  TBackend& b = *FBackend;
  if (FReader.joinable()) {
    // A blocked read can only be woken from the stream's own thread: closing the
    // socket there cancels it; dropping the work guard then lets the loop run out.
    asio::post(b.Ioc, [&b] {
      b.WithStream([](auto& ws) { beast::get_lowest_layer(ws).close(); });
      b.Work.reset();
    });
    FReader.join();
  }
  FBackend.reset();
}

void TAEWssTransport::Send(const std::vector<std::uint8_t>& data) {
  if (!FBackend || !FReader.joinable() || FLink->IsEnded()) throw EAEError(FLink->NotOpenText());
  TBackend& b = *FBackend;
  auto result = std::make_shared<std::promise<beast::error_code>>();
  auto written = result->get_future();
  asio::post(b.Ioc, [&b, &data, result] {
    b.WithStream([&](auto& ws) {
      ws.async_write(asio::buffer(data), [result](beast::error_code ec, std::size_t) { result->set_value(ec); });
    });
  });
  if (written.wait_for(kWssSendLimit) != std::future_status::ready) {
    // A broker that reads nothing: drop the connection, which ends the write too.
    FLink->MarkEnded(kWssSendStalledText);
    asio::post(b.Ioc, [&b] { b.WithStream([](auto& ws) { beast::get_lowest_layer(ws).close(); }); });
    written.wait();
    throw EAEError(kWssSendStalledText);
  }
  const auto ec = written.get();
  if (ec) throw EAEError("WebSocket send error " + std::to_string(ec.value()));
}
