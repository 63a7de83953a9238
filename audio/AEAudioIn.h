// One sound-card input as signed 16-bit mono PCM, polled: no thread of its own and no
// notification from the platform. The device fills a fixed ring of buffers; each Poll
// hands every filled buffer, in ring order, to the caller's procedure and gives it
// straight back to the device.
//
// Backends: waveIn (winmm) on Windows, ALSA on Linux. Both raise EAEError with the
// message "Audio input: <step> failed (<code>) <platform text>", the step being
// "open", "prepare", "add buffer" (handing a buffer back to the device, i.e. every read
// in Poll) or "start"; the code is the MMRESULT, or ALSA's negative errno.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Receives one filled buffer: `count` consecutive samples from `samples`. The samples
// belong to the input and are valid only during the call. An exception thrown here
// leaves Poll at once and the same buffer is handed over again by the next Poll.
using TAESampleProc = std::function<void(const std::int16_t* samples, std::int32_t count)>;

class TAEAudioIn {
 public:
  // Opens recording device `deviceId` (its index in DeviceNames; any negative id is the
  // platform's default device) for `sampleRate` samples per second and queues
  // `bufferCount` buffers of `bufferSamples` samples; recording waits for Start.
  // Both counts must be at least 1. Raises EAEError on any failure, leaving nothing
  // open behind.
  TAEAudioIn(std::int32_t deviceId, std::uint32_t sampleRate, std::int32_t bufferSamples,
             std::int32_t bufferCount);
  // Resets and closes the device; then the buffers go. Raises nothing.
  ~TAEAudioIn();
  TAEAudioIn(const TAEAudioIn&) = delete;
  TAEAudioIn& operator=(const TAEAudioIn&) = delete;

  // Begins recording. Raises EAEError (step "start").
  void Start();
  // Ends recording; its result is not checked. Start may follow.
  void Stop();
  // Hands every filled buffer, oldest first and each whole, to `proc`, on the calling
  // thread, and returns as soon as the next one is not filled yet (before Start: at
  // once). Raises EAEError when a buffer cannot be handed back to the device; an
  // exception from `proc` passes through unchanged.
  void Poll(const TAESampleProc& proc);

  // Names of the recording devices by device number from 0 ("?" for one whose name
  // cannot be read). Needs no instance, keeps no state, raises nothing.
  static std::vector<std::string> DeviceNames();

  // Threads: an instance is used by one thread at a time (created, polled and
  // destroyed in turn, never concurrently); DeviceNames may run on any thread.

 private:
  struct TImpl;  // the backend's device handle and buffers
  std::unique_ptr<TImpl> FImpl;
};
