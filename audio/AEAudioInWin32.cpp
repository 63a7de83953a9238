// waveIn backend: a ring of WAVEHDR buffers queued with the device, polled through
// their done flags (CALLBACK_NULL, so the device sends no notification).
#include "AEAudioIn.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstddef>

#include "AEAudioInBackend.h"
#include "AETextWin32.h"

static_assert(sizeof(WAVEHDR) == 48);
static_assert(sizeof(WAVEINCAPSW) == 80);

namespace {

void CheckWaveIn(MMRESULT res, const char* step) {
  if (res == MMSYSERR_NOERROR) return;
  wchar_t text[256] = {};
  if (waveInGetErrorTextW(res, text, 256) != MMSYSERR_NOERROR) text[0] = L'\0';
  text[255] = L'\0';
  RaiseAudioInError(step, static_cast<std::int32_t>(res), WideToUtf8(text));
}

}  // namespace

struct TAEAudioIn::TImpl {
  HWAVEIN FHandle = nullptr;
  std::vector<WAVEHDR> FHeaders;                 // lpData points into FBuffers
  std::vector<std::vector<std::int16_t>> FBuffers;  // never resized once sized
  std::int32_t FNext = 0;                        // the header the next poll looks at first
  bool FOpen = false;

  // The order is fixed: a queued buffer cannot be unprepared, so reset first; the
  // buffers may go only once the device is closed. Results are ignored: there is
  // nothing left to do about a device that will not close.
  ~TImpl() {
    if (!FOpen) return;
    waveInReset(FHandle);
    for (WAVEHDR& h : FHeaders) waveInUnprepareHeader(FHandle, &h, sizeof(WAVEHDR));
    waveInClose(FHandle);
  }
};

TAEAudioIn::TAEAudioIn(std::int32_t deviceId, std::uint32_t sampleRate, std::int32_t bufferSamples,
                       std::int32_t bufferCount) {
  CheckAudioInBufferShape(bufferSamples, bufferCount);
  // Owned from here on: when a later step raises, its destructor closes what was opened.
  FImpl = std::make_unique<TImpl>();
  TImpl& d = *FImpl;

  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = sampleRate;
  format.nAvgBytesPerSec = 2 * sampleRate;
  format.nBlockAlign = 2;
  format.wBitsPerSample = 16;
  format.cbSize = 0;
  const UINT device = deviceId >= 0 ? static_cast<UINT>(deviceId) : WAVE_MAPPER;
  CheckWaveIn(waveInOpen(&d.FHandle, device, &format, 0, 0, CALLBACK_NULL), "open");
  d.FOpen = true;

  const auto count = static_cast<std::size_t>(bufferCount);
  d.FHeaders.resize(count);
  d.FBuffers.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    d.FBuffers[i].assign(static_cast<std::size_t>(bufferSamples), 0);
    WAVEHDR& h = d.FHeaders[i];
    h = WAVEHDR{};
    h.lpData = reinterpret_cast<LPSTR>(d.FBuffers[i].data());
    h.dwBufferLength = static_cast<DWORD>(bufferSamples) * 2;
    CheckWaveIn(waveInPrepareHeader(d.FHandle, &h, sizeof(WAVEHDR)), "prepare");
    CheckWaveIn(waveInAddBuffer(d.FHandle, &h, sizeof(WAVEHDR)), "add buffer");
  }
}

TAEAudioIn::~TAEAudioIn() = default;

void TAEAudioIn::Start() { CheckWaveIn(waveInStart(FImpl->FHandle), "start"); }

void TAEAudioIn::Stop() {
  if (FImpl->FOpen) waveInStop(FImpl->FHandle);  // result unchecked: nothing depends on it
}

void TAEAudioIn::Poll(const TAESampleProc& proc) {
  TImpl& d = *FImpl;
  // Only the header at FNext is looked at: the device fills them in queue order, so a
  // later one that is done early waits for it and the samples stay in order.
  for (;;) {
    WAVEHDR& h = d.FHeaders[static_cast<std::size_t>(d.FNext)];
    if ((h.dwFlags & WHDR_DONE) == 0) return;
    const auto samples = static_cast<std::int32_t>(h.dwBytesRecorded >> 1);  // whole samples only
    if (samples > 0) proc(reinterpret_cast<const std::int16_t*>(h.lpData), samples);
    h.dwBytesRecorded = 0;
    CheckWaveIn(waveInAddBuffer(d.FHandle, &h, sizeof(WAVEHDR)), "add buffer");
    d.FNext = (d.FNext + 1) % static_cast<std::int32_t>(d.FHeaders.size());
  }
}

std::vector<std::string> TAEAudioIn::DeviceNames() {
  std::vector<std::string> names;
  const UINT n = waveInGetNumDevs();
  for (UINT id = 0; id < n; ++id) {
    WAVEINCAPSW caps{};
    if (waveInGetDevCapsW(id, &caps, sizeof(caps)) != MMSYSERR_NOERROR) {
      names.emplace_back("?");
      continue;
    }
    std::size_t len = 0;
    while (len < 32 && caps.szPname[len] != L'\0') ++len;
    names.push_back(WideToUtf8(std::wstring_view(caps.szPname, len)));
  }
  return names;
}
