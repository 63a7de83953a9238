// The lookup of a UDP destination name, kept off the sending thread: a lookup runs on a
// detached thread of its own, because the system's resolver cannot be interrupted and a
// stop must not wait the seconds it may take.
#include <mutex>
#include <system_error>
#include <thread>

#include "AEErrors.h"
#include "AEUdp.h"

struct TAEUdpSender::TLookup {
  std::string Host;
  std::uint16_t Port = 0;
  TResolver Resolve;
  std::chrono::milliseconds Retry{0};
  bool Numeric = false;  // the host is an address already: never looked up

  std::mutex Lock;
  std::string Address;           // guarded by Lock: last numeric address found, "" none
  std::uint64_t Generation = 0;  // guarded by Lock: advanced with every new Address
  bool Busy = false;             // guarded by Lock: a lookup thread runs
  bool Tried = false;            // guarded by Lock
  bool Failed = false;           // guarded by Lock: the last lookup failed (and was reported)
  std::chrono::steady_clock::time_point LastTry;  // guarded by Lock

  // Held while a report is given, so that EndLookup cannot return during one.
  std::mutex ReportLock;
  TOnResolve OnResolve;  // guarded by ReportLock
  bool Closed = false;   // guarded by ReportLock

  std::string Where() const { return Host + ":" + std::to_string(Port); }

  void Run() {
    std::string address, reason;
    try {
      address = Resolve(Host);
    } catch (const std::exception& e) {
      reason = e.what();
    }
    bool report = false;
    {
      std::lock_guard lock(Lock);
      Busy = false;
      if (!address.empty()) {
        report = Failed;
        Failed = false;
        if (address != Address) {
          Address = address;
          ++Generation;
        }
      } else {
        report = !Failed;
        Failed = true;  // an address found before stays in use
      }
    }
    if (!report) return;
    std::lock_guard lock(ReportLock);
    if (!Closed && OnResolve) OnResolve(!address.empty(), address.empty() ? reason : address);
  }
};

std::shared_ptr<TAEUdpSender::TLookup> TAEUdpSender::NewLookup(std::string host, std::uint16_t port,
                                                               TOnResolve onResolve, TResolver resolver,
                                                               std::chrono::milliseconds retry) {
  auto lookup = std::make_shared<TLookup>();
  lookup->Numeric = IsNumericAddress(host);
  if (lookup->Numeric) {
    lookup->Address = host;
    lookup->Generation = 1;
  }
  lookup->Host = std::move(host);
  lookup->Port = port;
  lookup->Resolve = resolver ? std::move(resolver) : TResolver(&TAEUdpSender::SystemResolve);
  lookup->Retry = retry;
  lookup->OnResolve = std::move(onResolve);
  return lookup;
}

void TAEUdpSender::EndLookup() {
  std::lock_guard lock(FLookup->ReportLock);
  FLookup->Closed = true;
}

void TAEUdpSender::Start() { RequestLookup(); }

void TAEUdpSender::RequestLookup() {
  const std::shared_ptr<TLookup> lookup = FLookup;
  {
    std::lock_guard lock(lookup->Lock);
    if (lookup->Numeric || lookup->Busy) return;
    const auto now = std::chrono::steady_clock::now();
    if (lookup->Tried && now - lookup->LastTry < lookup->Retry) return;
    lookup->Busy = true;
    lookup->Tried = true;
    lookup->LastTry = now;
  }
  try {
    // Detached: it holds the lookup state alive by itself and reports nowhere once the
    // sender is gone.
    std::thread([lookup] { lookup->Run(); }).detach();
  } catch (const std::system_error&) {
    std::lock_guard lock(lookup->Lock);
    lookup->Busy = false;  // tried again at the next send after the interval
  }
}

void TAEUdpSender::Send(std::span<const std::uint8_t> bytes) {
  std::string address;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(FLookup->Lock);
    generation = FLookup->Generation;
    if (generation != FAimedGeneration) address = FLookup->Address;
  }
  if (generation == 0) {
    RequestLookup();
    throw EAEOsError("UDP: " + FLookup->Where() + " is not resolved", 0);
  }
  if (generation != FAimedGeneration) {
    Aim(address);
    FAimedGeneration = generation;
  }
  try {
    SendTo(bytes);
  } catch (const EAEError&) {
    RequestLookup();  // the address may have changed
    throw;
  }
}
