#include "AEAudioInBackend.h"

#include "AEErrors.h"

void RaiseAudioInError(const char* step, std::int32_t code, const std::string& text) {
  throw EAEError("Audio input: " + std::string(step) + " failed (" + std::to_string(code) + ") " + text);
}

void CheckAudioInBufferShape(std::int32_t bufferSamples, std::int32_t bufferCount) {
  // Checked before the device is touched: a ring without buffers would never deliver,
  // and a buffer's byte length is a 32-bit field on the device side.
  if (bufferSamples < 1 || bufferCount < 1 || bufferSamples > INT32_MAX / 2)
    throw EAEError("Audio input: " + std::to_string(bufferCount) + " buffers of " +
                   std::to_string(bufferSamples) + " samples are not possible");
}
