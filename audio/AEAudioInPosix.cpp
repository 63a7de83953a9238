// ALSA backend: a capture PCM opened non-blocking, read only inside Poll. ALSA's own
// buffer of BufferCount periods plays the part of the queued ring; a read of one
// buffer's worth is the buffer coming back filled.
#include "AEAudioIn.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "AEAudioInBackend.h"

namespace {

// ALSA prints its own diagnostics to stderr on every failed open; with the device
// retried every few seconds for months that would bury the program's output. Each
// failure reaches the caller anyway, with ALSA's text, in the exception.
void DropAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

void QuietAlsa() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(DropAlsaMessage); });
}

void CheckAlsa(int res, const char* step) {
  if (res >= 0) return;
  RaiseAudioInError(step, res, snd_strerror(res));
}

struct TCaptureHint {
  std::string Name;         // what snd_pcm_open takes
  std::string Description;  // what a user recognises
};

// PCMs that can record, in the order ALSA lists them; device number i is entry i.
std::vector<TCaptureHint> CaptureHints() {
  QuietAlsa();
  std::vector<TCaptureHint> result;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0) return result;
  auto take = [](void* hint, const char* id) -> std::optional<std::string> {
    char* value = snd_device_name_get_hint(hint, id);
    if (value == nullptr) return std::nullopt;
    std::string text = value;
    std::free(value);
    return text;
  };
  for (void** h = hints; *h != nullptr; ++h) {
    const std::optional<std::string> ioid = take(*h, "IOID");
    if (ioid && *ioid != "Input") continue;  // no IOID: both directions
    const std::optional<std::string> name = take(*h, "NAME");
    if (!name) continue;
    std::string desc = take(*h, "DESC").value_or("");
    // Descriptions come as "card\nrole"; one line reads better in a device list.
    for (std::size_t p = desc.find('\n'); p != std::string::npos; p = desc.find('\n', p))
      desc.replace(p, 1, ", ");
    result.push_back({*name, desc.empty() ? *name : desc});
  }
  snd_device_name_free_hint(hints);
  return result;
}

}  // namespace

struct TAEAudioIn::TImpl {
  snd_pcm_t* FPcm = nullptr;
  std::vector<std::int16_t> FBuffer;  // the buffer being filled, BufferSamples long
  std::int32_t FFill = 0;             // samples in FBuffer; full = waiting to be handed over

  // Dropping first discards what the device still holds, then the handle goes;
  // neither result matters any more.
  ~TImpl() {
    if (FPcm == nullptr) return;
    snd_pcm_drop(FPcm);
    snd_pcm_close(FPcm);
  }
};

TAEAudioIn::TAEAudioIn(std::int32_t deviceId, std::uint32_t sampleRate, std::int32_t bufferSamples,
                       std::int32_t bufferCount) {
  CheckAudioInBufferShape(bufferSamples, bufferCount);
  FImpl = std::make_unique<TImpl>();
  TImpl& d = *FImpl;
  d.FBuffer.assign(static_cast<std::size_t>(bufferSamples), 0);

  QuietAlsa();
  std::string name = "default";
  if (deviceId >= 0) {
    const std::vector<TCaptureHint> hints = CaptureHints();
    if (static_cast<std::size_t>(deviceId) >= hints.size()) CheckAlsa(-ENODEV, "open");
    name = hints[static_cast<std::size_t>(deviceId)].Name;
  }
  CheckAlsa(snd_pcm_open(&d.FPcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK), "open");

  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  CheckAlsa(snd_pcm_hw_params_any(d.FPcm, hw), "open");
  CheckAlsa(snd_pcm_hw_params_set_access(d.FPcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED), "open");
  CheckAlsa(snd_pcm_hw_params_set_format(d.FPcm, hw, SND_PCM_FORMAT_S16_LE), "open");
  CheckAlsa(snd_pcm_hw_params_set_channels(d.FPcm, hw, 1), "open");
  CheckAlsa(snd_pcm_hw_params_set_rate(d.FPcm, hw, sampleRate, 0), "open");
  // Period and buffer as near as the device allows: Poll cuts whole buffers of
  // BufferSamples out of the stream whatever the device's own period is.
  snd_pcm_uframes_t period = static_cast<snd_pcm_uframes_t>(bufferSamples);
  CheckAlsa(snd_pcm_hw_params_set_period_size_near(d.FPcm, hw, &period, nullptr), "open");
  snd_pcm_uframes_t frames = static_cast<snd_pcm_uframes_t>(bufferSamples) * static_cast<snd_pcm_uframes_t>(bufferCount);
  CheckAlsa(snd_pcm_hw_params_set_buffer_size_near(d.FPcm, hw, &frames), "open");
  CheckAlsa(snd_pcm_hw_params(d.FPcm, hw), "open");
  CheckAlsa(snd_pcm_prepare(d.FPcm), "prepare");
}

TAEAudioIn::~TAEAudioIn() = default;

void TAEAudioIn::Start() {
  TImpl& d = *FImpl;
  const snd_pcm_state_t state = snd_pcm_state(d.FPcm);
  if (state == SND_PCM_STATE_RUNNING) return;  // as waveInStart: starting twice is no fault
  if (state != SND_PCM_STATE_PREPARED) CheckAlsa(snd_pcm_prepare(d.FPcm), "start");
  CheckAlsa(snd_pcm_start(d.FPcm), "start");
}

void TAEAudioIn::Stop() {
  snd_pcm_drop(FImpl->FPcm);  // result unchecked: nothing depends on it
  FImpl->FFill = 0;
}

void TAEAudioIn::Poll(const TAESampleProc& proc) {
  TImpl& d = *FImpl;
  const auto size = static_cast<std::int32_t>(d.FBuffer.size());
  for (;;) {
    if (d.FFill == size) {
      // Counted as handed over only once proc returns: if it raises, the next poll
      // offers the same buffer again.
      proc(d.FBuffer.data(), size);
      d.FFill = 0;
      continue;
    }
    const snd_pcm_state_t state = snd_pcm_state(d.FPcm);
    if (state == SND_PCM_STATE_PREPARED || state == SND_PCM_STATE_SETUP) return;  // not started, or stopped
    const snd_pcm_sframes_t n =
        snd_pcm_readi(d.FPcm, d.FBuffer.data() + d.FFill, static_cast<snd_pcm_uframes_t>(size - d.FFill));
    if (n == -EAGAIN || n == 0) return;
    if (n == -EPIPE || n == -ESTRPIPE) {
      // An overrun loses samples as a waveIn ring that ran dry does: the part-filled
      // buffer would join two pieces of the stream, so it goes too, and recording
      // goes on in place.
      d.FFill = 0;
      CheckAlsa(snd_pcm_recover(d.FPcm, static_cast<int>(n), 1), "add buffer");
      if (snd_pcm_state(d.FPcm) == SND_PCM_STATE_PREPARED) CheckAlsa(snd_pcm_start(d.FPcm), "start");
      continue;
    }
    CheckAlsa(static_cast<int>(n), "add buffer");
    d.FFill += static_cast<std::int32_t>(n);
  }
}

std::vector<std::string> TAEAudioIn::DeviceNames() {
  std::vector<std::string> names;
  for (const TCaptureHint& h : CaptureHints()) names.push_back(h.Description);
  return names;
}
