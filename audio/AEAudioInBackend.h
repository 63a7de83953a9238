// Shared by the backends of TAEAudioIn; not part of its interface.
#pragma once

#include <cstdint>
#include <string>

// Raises EAEError "Audio input: <step> failed (<code>) <text>".
[[noreturn]] void RaiseAudioInError(const char* step, std::int32_t code, const std::string& text);

// Raises EAEError unless both counts are at least 1 and a buffer's bytes fit in 31 bits.
void CheckAudioInBufferShape(std::int32_t bufferSamples, std::int32_t bufferCount);
