// The link seam: winmm's functions are imported, so the backend calls each through an
// __imp_ pointer. Defining those pointers here keeps the import library's members for
// them out of this test executable, and the backend, unchanged, calls the fake.
#include "AEFakeWaveInWin32.h"

#include <algorithm>
#include <cstring>

TFakeWaveIn* GFakeWaveIn = nullptr;

int TFakeWaveIn::IndexOf(WAVEHDR* h) {
  const auto it = std::find(Headers.begin(), Headers.end(), h);
  if (it != Headers.end()) return static_cast<int>(it - Headers.begin());
  Headers.push_back(h);
  return static_cast<int>(Headers.size()) - 1;
}

void TFakeWaveIn::Finish(int i, const std::vector<std::int16_t>& samples) {
  WAVEHDR* h = Headers.at(static_cast<std::size_t>(i));
  std::memcpy(h->lpData, samples.data(), samples.size() * 2);
  FinishBytes(i, static_cast<DWORD>(samples.size() * 2));
}

void TFakeWaveIn::FinishBytes(int i, DWORD bytes) {
  WAVEHDR* h = Headers.at(static_cast<std::size_t>(i));
  h->dwBytesRecorded = bytes;
  h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
}

namespace {

HWAVEIN const kHandle = reinterpret_cast<HWAVEIN>(static_cast<std::uintptr_t>(0x5EED));

UINT WINAPI FakeGetNumDevs() { return static_cast<UINT>(GFakeWaveIn->Devices.size()); }

MMRESULT WINAPI FakeGetDevCaps(UINT_PTR id, LPWAVEINCAPSW caps, UINT size) {
  if (size != sizeof(WAVEINCAPSW) || id >= GFakeWaveIn->Devices.size()) return MMSYSERR_INVALPARAM;
  if (id < GFakeWaveIn->CapsFail.size() && GFakeWaveIn->CapsFail[id]) return MMSYSERR_NODRIVER;
  std::memset(caps, 0x55, sizeof(*caps));  // no NUL unless the name is shorter than the field
  const std::wstring& name = GFakeWaveIn->Devices[id];
  const std::size_t n = std::min<std::size_t>(name.size(), 32);
  std::memcpy(caps->szPname, name.data(), n * sizeof(wchar_t));
  if (n < 32) caps->szPname[n] = L'\0';
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeGetErrorText(MMRESULT res, LPWSTR text, UINT size) {
  if (GFakeWaveIn->NoErrorText || size != 256) return MMSYSERR_BADERRNUM;
  const std::wstring t = L"text of " + std::to_wstring(res);
  std::memcpy(text, t.c_str(), (t.size() + 1) * sizeof(wchar_t));
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeOpen(LPHWAVEIN handle, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                         DWORD_PTR instance, DWORD flags) {
  TFakeWaveIn& f = *GFakeWaveIn;
  f.Calls.push_back("open");
  f.OpenedDevice = id;
  f.Format = *format;
  f.Callback = callback;
  f.Instance = instance;
  f.OpenFlags = flags;
  if (f.OpenResult != MMSYSERR_NOERROR) return f.OpenResult;
  *handle = kHandle;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeClose(HWAVEIN h) {
  GFakeWaveIn->Calls.push_back(h == kHandle ? "close" : "close ?");
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakePrepare(HWAVEIN, LPWAVEHDR h, UINT size) {
  TFakeWaveIn& f = *GFakeWaveIn;
  f.Calls.push_back("prepare " + std::to_string(f.IndexOf(h)));
  if (++f.PrepareCalls == f.PrepareFailsAt || size != sizeof(WAVEHDR)) return f.FailResult;
  h->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeUnprepare(HWAVEIN, LPWAVEHDR h, UINT) {
  TFakeWaveIn& f = *GFakeWaveIn;
  f.Calls.push_back("unprepare " + std::to_string(f.IndexOf(h)));
  if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  h->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeAdd(HWAVEIN, LPWAVEHDR h, UINT size) {
  TFakeWaveIn& f = *GFakeWaveIn;
  f.Calls.push_back("add " + std::to_string(f.IndexOf(h)));
  if (++f.AddCalls == f.AddFailsAt || size != sizeof(WAVEHDR)) return f.FailResult;
  if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI FakeStart(HWAVEIN) {
  GFakeWaveIn->Calls.push_back("start");
  return GFakeWaveIn->StartResult;
}

MMRESULT WINAPI FakeStop(HWAVEIN) {
  GFakeWaveIn->Calls.push_back("stop");
  return GFakeWaveIn->StopResult;
}

// Recording ends and every queued buffer comes back done, as the platform does.
MMRESULT WINAPI FakeReset(HWAVEIN) {
  GFakeWaveIn->Calls.push_back("reset");
  for (WAVEHDR* h : GFakeWaveIn->Headers)
    if (h->dwFlags & WHDR_INQUEUE) h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" {
void* __imp_waveInGetNumDevs = reinterpret_cast<void*>(&FakeGetNumDevs);
void* __imp_waveInGetDevCapsW = reinterpret_cast<void*>(&FakeGetDevCaps);
void* __imp_waveInGetErrorTextW = reinterpret_cast<void*>(&FakeGetErrorText);
void* __imp_waveInOpen = reinterpret_cast<void*>(&FakeOpen);
void* __imp_waveInClose = reinterpret_cast<void*>(&FakeClose);
void* __imp_waveInPrepareHeader = reinterpret_cast<void*>(&FakePrepare);
void* __imp_waveInUnprepareHeader = reinterpret_cast<void*>(&FakeUnprepare);
void* __imp_waveInAddBuffer = reinterpret_cast<void*>(&FakeAdd);
void* __imp_waveInStart = reinterpret_cast<void*>(&FakeStart);
void* __imp_waveInStop = reinterpret_cast<void*>(&FakeStop);
void* __imp_waveInReset = reinterpret_cast<void*>(&FakeReset);
}
