// The test capture device (AETestCapturePlugin.c, ALSA's default PCM in the tests) and
// what the tests need to drive a polled input against it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "AEAudioIn.h"
#include "common/AETestTemp.h"

// Makes the test device play these samples from its next open on; after them it
// serves silence, or fails every read when `errorAtEnd` (Linux only: under Wine the
// device's environment is fixed before the test starts).
void ServeCaptureFile(const TAETempDir& dir, const std::vector<std::int16_t>& samples, bool errorAtEnd = false);

// Samples spread over the whole range, negative ones included, that no shifted or
// reordered copy of themselves matches.
inline std::vector<std::int16_t> NoiseSamples(std::size_t count, std::uint32_t seed) {
  std::vector<std::int16_t> out(count);
  std::uint32_t x = seed;
  for (auto& s : out) {
    x = x * 1664525u + 1013904223u;
    s = static_cast<std::int16_t>(x >> 16);
    if (s == 0) s = 1;  // zero stands for the silence after the end
  }
  return out;
}

// One buffer as Poll handed it over.
using TAEBuffer = std::vector<std::int16_t>;

// Polls every few milliseconds, as the agent's generator loop does, until `done` says
// so or `timeout` has passed; returns the buffers in the order received.
inline std::vector<TAEBuffer> PollUntil(TAEAudioIn& in, std::chrono::milliseconds timeout,
                                        const std::function<bool(const std::vector<TAEBuffer>&)>& done) {
  std::vector<TAEBuffer> buffers;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const TAESampleProc keep = [&](const std::int16_t* samples, std::int32_t count) {
    buffers.emplace_back(samples, samples + count);
  };
  while (!done(buffers) && std::chrono::steady_clock::now() < deadline) {
    in.Poll(keep);
    // The device is paced by its clock, not by a thread of ours: nothing to wait on.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return buffers;
}

inline std::vector<std::int16_t> Concat(const std::vector<TAEBuffer>& buffers) {
  std::vector<std::int16_t> all;
  for (const TAEBuffer& b : buffers) all.insert(all.end(), b.begin(), b.end());
  return all;
}

inline std::size_t SampleCount(const std::vector<TAEBuffer>& buffers) {
  std::size_t n = 0;
  for (const TAEBuffer& b : buffers) n += b.size();
  return n;
}
