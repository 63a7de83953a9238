// WebSocket backend for Windows: WinHTTP in synchronous mode. The WebSocket functions
// are looked up when first needed, so the program still starts on a system without
// them and says which one is missing when a WebSocket is asked for.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "AEErrors.h"
#include "AEMqttWss.h"
#include "AETextWin32.h"

namespace {
using TCompleteUpgrade = HINTERNET(WINAPI*)(HINTERNET, DWORD_PTR);
using TWebSocketSend = DWORD(WINAPI*)(HINTERNET, WINHTTP_WEB_SOCKET_BUFFER_TYPE, void*, DWORD);
using TWebSocketReceive = DWORD(WINAPI*)(HINTERNET, void*, DWORD, DWORD*, WINHTTP_WEB_SOCKET_BUFFER_TYPE*);
using TWebSocketShutdown = DWORD(WINAPI*)(HINTERNET, USHORT, void*, DWORD);

struct TWebSocketApi {
  TCompleteUpgrade CompleteUpgrade;
  TWebSocketSend Send;
  TWebSocketReceive Receive;
  TWebSocketShutdown Shutdown;
};

template <class T>
T BindWinHttp(HMODULE winHttp, const char* name) {
  const FARPROC proc = winHttp != nullptr ? GetProcAddress(winHttp, name) : nullptr;
  if (proc == nullptr)
    throw EAEError(std::string("WebSocket support missing: winhttp.dll has no ") + name +
                   " (Windows 8 or later needed)");
  return reinterpret_cast<T>(reinterpret_cast<void*>(proc));
}

TWebSocketApi BindWebSocketApi() {
  HMODULE winHttp = GetModuleHandleW(L"winhttp.dll");
  if (winHttp == nullptr) winHttp = LoadLibraryW(L"winhttp.dll");
  return TWebSocketApi{BindWinHttp<TCompleteUpgrade>(winHttp, "WinHttpWebSocketCompleteUpgrade"),
                       BindWinHttp<TWebSocketSend>(winHttp, "WinHttpWebSocketSend"),
                       BindWinHttp<TWebSocketReceive>(winHttp, "WinHttpWebSocketReceive"),
                       BindWinHttp<TWebSocketShutdown>(winHttp, "WinHttpWebSocketShutdown")};
}

// Bound on first use; a failed lookup raises again on the next use.
const TWebSocketApi& WebSocketApi() {
  static const TWebSocketApi api = BindWebSocketApi();
  return api;
}

// Taken right after the failing call, so the code is that call's.
std::string WinApiFailure(const std::string& step) { return ApiFailureText(step, Win32ErrorText(GetLastError())); }

void CloseHandleIfHeld(HINTERNET& h) {
  if (h != nullptr) WinHttpCloseHandle(h);  // nothing to do about a failed close
  h = nullptr;
}

// The reader: one blocking receive after another until the stream ends. It keeps only
// its link and the handle's value, so a reader left behind by Close touches nothing
// that Close frees; once Close has run, a receive on the closed handle just fails.
void ReadLoop(TAEWssLink& link, HINTERNET socket) {
  const TWebSocketApi& api = WebSocketApi();
  std::vector<std::uint8_t> buffer(65536);
  while (!link.IsEnded()) {
    DWORD read = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    const DWORD err = api.Receive(socket, buffer.data(), static_cast<DWORD>(buffer.size()), &read, &type);
    if (err != 0) {
      link.MarkEnded("WebSocket receive error " + std::to_string(err));
    } else if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
      link.MarkEnded("closed by the server");  // the close status and reason are dropped
    } else {
      link.Deliver(buffer.data(), read);  // binary or text, whole message or fragment
    }
  }
}

// How long Close waits for a woken reader before leaving it behind; after an Abort (a
// Stop, which must not wait for a silent server) only briefly.
constexpr auto kReaderEndLimit = std::chrono::seconds(2);
constexpr auto kAbortedReaderEndLimit = std::chrono::milliseconds(300);

// One stream's handles and the thread that makes its blocking calls on them: each Send,
// then the shutdown and the closes. Under Wine a send into a peer that reads nothing
// blocks in the socket with no time-out at all, so the client's thread waits for a call
// only so long (the keep-alive cannot act while it waits); a call that stays blocked is
// left behind with this shared state, and the thread closes the handles once it returns.
struct TWriter {
  std::mutex Lock;
  std::condition_variable Changed;
  HINTERNET Session = nullptr;  // the handles: the thread's alone once it runs
  HINTERNET Connect = nullptr;
  HINTERNET Socket = nullptr;
  std::vector<std::uint8_t> Data;  // guarded by Lock: the send handed over
  bool SendAsked = false;          // guarded by Lock
  std::uint64_t SendsDone = 0;     // guarded by Lock
  DWORD SendResult = 0;            // guarded by Lock: that of the last send done
  bool CloseAsked = false;         // guarded by Lock
  bool Closed = false;             // guarded by Lock: the handles are closed
};

void WriteLoop(TWriter& w) {
  const TWebSocketApi& api = WebSocketApi();
  std::unique_lock lock(w.Lock);
  for (;;) {
    w.Changed.wait(lock, [&] { return w.SendAsked || w.CloseAsked; });
    if (!w.SendAsked) break;
    std::vector<std::uint8_t> data;
    data.swap(w.Data);
    lock.unlock();
    const DWORD err = api.Send(w.Socket, WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE, data.data(),
                               static_cast<DWORD>(data.size()));
    lock.lock();
    w.SendAsked = false;
    w.SendResult = err;
    ++w.SendsDone;
    w.Changed.notify_all();
  }
  lock.unlock();
  if (w.Socket != nullptr) {
    // Closing the handle alone leaves a blocked receive hanging on some WinHTTP
    // versions; the shutdown's close frame gets the server's answer, which wakes it.
    // The broker takes it as a disconnect without DISCONNECT, as a dropped connection.
    api.Shutdown(w.Socket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
  }
  CloseHandleIfHeld(w.Socket);
  CloseHandleIfHeld(w.Connect);
  CloseHandleIfHeld(w.Session);
  lock.lock();
  w.Closed = true;
  w.Changed.notify_all();
}
}  // namespace

namespace {
// The handles of one Open, and how its steps ended. Shared by Open and the thread that
// runs the steps: Abort cannot end a blocked WinHTTP call everywhere (closing its handle
// does not under Wine), so an aborted Open leaves that thread behind, and the thread
// closes the handles itself when its call returns.
struct TOpenJob {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Finished = false;   // guarded by Lock
  bool Aborted = false;    // guarded by Lock
  bool Abandoned = false;  // guarded by Lock: Open has left; the thread cleans up
  std::string Error;       // written by the thread before Finished
  HINTERNET Session = nullptr;
  HINTERNET Connect = nullptr;
  HINTERNET Request = nullptr;
  HINTERNET Socket = nullptr;

  void CloseAll() {
    CloseHandleIfHeld(Socket);
    CloseHandleIfHeld(Request);
    CloseHandleIfHeld(Connect);
    CloseHandleIfHeld(Session);
  }
};

// The connect, the TLS handshake and the upgrade, each blocking in WinHTTP.
void RunOpenSteps(TOpenJob& job, const TAEWssEndpoint& ep) {
  const TWebSocketApi& api = WebSocketApi();
  job.Session = WinHttpOpen(L"KIVU-Velkarn/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
  if (job.Session == nullptr)
    job.Session = WinHttpOpen(L"KIVU-Velkarn/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
  if (job.Session == nullptr) throw EAEError(WinApiFailure("WinHttpOpen"));
  job.Connect = WinHttpConnect(job.Session, Utf8ToWide(ep.Host).c_str(), ep.Port, 0);
  if (job.Connect == nullptr) throw EAEError(WinApiFailure("WinHttpConnect"));
  // No security options: WinHTTP's defaults check the chain and the host name.
  job.Request = WinHttpOpenRequest(job.Connect, L"GET", Utf8ToWide(ep.Path).c_str(), nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, ep.Secure ? WINHTTP_FLAG_SECURE : 0);
  if (job.Request == nullptr) throw EAEError(WinApiFailure("WinHttpOpenRequest"));
  if (!WinHttpSetOption(job.Request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0))
    throw EAEError(WinApiFailure("WebSocket upgrade option"));
  WinHttpAddRequestHeaders(job.Request, L"Sec-WebSocket-Protocol: mqtt", 28, WINHTTP_ADDREQ_FLAG_ADD);
  if (!WinHttpSendRequest(job.Request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    throw EAEError(WinApiFailure("WinHttpSendRequest"));
  if (!WinHttpReceiveResponse(job.Request, nullptr)) throw EAEError(WinApiFailure("WinHttpReceiveResponse"));
  DWORD status = 0;
  DWORD size = sizeof(status);
  WinHttpQueryHeaders(job.Request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  if (status != 101) throw EAEError("WebSocket upgrade refused: HTTP " + std::to_string(status));
  job.Socket = api.CompleteUpgrade(job.Request, 0);
  if (job.Socket == nullptr) throw EAEError(WinApiFailure("WebSocket upgrade"));
  CloseHandleIfHeld(job.Request);
}

void RunOpenJob(const std::shared_ptr<TOpenJob>& job, const TAEWssEndpoint& ep) {
  std::string error;
  try {
    RunOpenSteps(*job, ep);
  } catch (const std::exception& e) {
    error = e.what();
  }
  std::lock_guard lock(job->Lock);
  job->Error = error;
  job->Finished = true;
  if (job->Abandoned) job->CloseAll();
  job->Changed.notify_all();
}
}  // namespace

struct TAEWssTransport::TBackend {
  std::shared_ptr<TWriter> Writer;  // null while no stream is open
  std::thread WriterThread;
  std::shared_ptr<TOpenJob> Job;  // guarded by FAbortLock: the Open in progress
};

TAEWssTransport::TAEWssTransport(const std::string& url)
    : FUrl(url), FEndpoint(ParseUrl(url)), FBackend(std::make_unique<TBackend>()) {}

TAEWssTransport::~TAEWssTransport() { Close(); }

void TAEWssTransport::Open() {
  CloseStream();
  NewLink();
  WebSocketApi();  // a missing function is told before anything is opened
  EnterOpen();
  struct TLeave {
    TAEWssTransport* Transport;
    ~TLeave() { Transport->LeaveOpen(); }
  } leave{this};
  TBackend& b = *FBackend;
  auto job = std::make_shared<TOpenJob>();
  {
    std::lock_guard lock(FAbortLock);
    b.Job = job;
  }
  std::thread steps([job, ep = FEndpoint] { RunOpenJob(job, ep); });
  {
    std::unique_lock lock(job->Lock);
    job->Changed.wait(lock, [&] { return job->Finished || job->Aborted; });
    if (!job->Finished) {
      job->Abandoned = true;
      lock.unlock();
      steps.detach();
      {
        std::lock_guard abortLock(FAbortLock);
        b.Job.reset();
      }
      throw EAEError("WebSocket open aborted");
    }
  }
  steps.join();
  {
    std::lock_guard lock(FAbortLock);
    b.Job.reset();
  }
  if (!job->Error.empty()) {
    job->CloseAll();
    throw EAEError(job->Error);
  }
  auto writer = std::make_shared<TWriter>();
  writer->Session = std::exchange(job->Session, nullptr);
  writer->Connect = std::exchange(job->Connect, nullptr);
  writer->Socket = std::exchange(job->Socket, nullptr);
  b.WriterThread = std::thread([writer] { WriteLoop(*writer); });
  b.Writer = writer;
  LeaveOpen();
  ThrowIfAborted();
  FReader = std::thread([link = FLink, socket = writer->Socket] {
    ReadLoop(*link, socket);
    link->MarkReaderDone();
  });
}

void TAEWssTransport::Abort() {
  std::lock_guard lock(FAbortLock);
  FAborted = true;
  if (!FOpening || !FBackend->Job) return;
  TOpenJob& job = *FBackend->Job;
  std::lock_guard jobLock(job.Lock);
  job.Aborted = true;
  job.Changed.notify_all();
}

void TAEWssTransport::CloseStream() {
  FLink->SetClosedLocally();
  TBackend& b = *FBackend;
  bool aborted;
  {
    std::lock_guard lock(FAbortLock);
    aborted = FAborted;
  }
  const auto deadline = std::chrono::steady_clock::now() + (aborted ? kAbortedReaderEndLimit : kReaderEndLimit);
  if (b.Writer) {
    // A writer still blocked in a send closes the handles when that send returns.
    TWriter& w = *b.Writer;
    std::unique_lock lock(w.Lock);
    w.CloseAsked = true;
    w.Changed.notify_all();
    if (w.Changed.wait_until(lock, deadline, [&] { return w.Closed; })) {
      lock.unlock();
      b.WriterThread.join();
    } else {
      lock.unlock();
      b.WriterThread.detach();
    }
    b.Writer.reset();
  }
  if (!FReader.joinable()) return;
  // A server that neither answers the close frame nor ends the connection leaves the
  // receive blocked even on the closed handle there: Close must not hang with it, so
  // that reader is left to end with the connection, holding only its own link.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (FLink->WaitReaderDone(std::max(left, std::chrono::milliseconds(0))))
    FReader.join();
  else
    FReader.detach();
}

void TAEWssTransport::Send(const std::vector<std::uint8_t>& data) {
  if (!FBackend->Writer || FLink->IsEnded()) throw EAEError(FLink->NotOpenText());
  TWriter& w = *FBackend->Writer;
  std::unique_lock lock(w.Lock);
  w.Data.assign(data.begin(), data.end());  // a copy: a send left behind still reads it
  w.SendAsked = true;
  const std::uint64_t ticket = w.SendsDone + 1;
  w.Changed.notify_all();
  if (!w.Changed.wait_for(lock, kWssSendLimit, [&] { return w.SendsDone >= ticket; })) {
    lock.unlock();
    FLink->MarkEnded(kWssSendStalledText);
    throw EAEError(kWssSendStalledText);
  }
  if (w.SendResult != 0) throw EAEError("WebSocket send error " + std::to_string(w.SendResult));
}
