// Writes a hit file the way the agent lays it out: the 88-byte "AEW1" header (the sealed
// hit record, the true class, three zero bytes, the volts per count) and the samples.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "AEFileSystem.h"
#include "AEProtocol.h"

inline std::string HitFileBytes(std::uint16_t agentId, std::uint16_t channel, std::uint32_t seq,
                                std::int64_t fileTime, const std::vector<std::int16_t>& samples,
                                std::uint8_t trueClass = hcCrack, float voltsPerCount = 3.0517578e-6f) {
  TAEHitRecord r{};
  r.AgentId = agentId;
  r.Channel = channel;
  r.Seq = seq;
  r.FileTime = fileTime;
  r.SampleRateHz = 1'000'000;
  r.SampleCount = static_cast<std::uint32_t>(samples.size());
  r.HitClass = hcCrack;
  r.Marker = 2;
  std::memcpy(&r.Reserved, &kReservedNaNBits, 4);
  InitHitRecord(r);

  std::string bytes(88 + 2 * samples.size(), '\0');
  std::memcpy(bytes.data(), "AEW1", 4);
  std::memcpy(bytes.data() + 4, &r, sizeof r);
  bytes[80] = static_cast<char>(trueClass);
  std::memcpy(bytes.data() + 84, &voltsPerCount, 4);
  if (!samples.empty()) std::memcpy(bytes.data() + 88, samples.data(), 2 * samples.size());
  return bytes;
}

// Writes the bytes at the hit's path below dataRoot and returns that path.
inline std::string WriteHitFile(const std::string& dataRoot, std::uint16_t channel, std::uint32_t seq,
                                std::int64_t fileTime, const std::string& bytes) {
  const std::string path = HitFileName(dataRoot, channel, fileTime, seq);
  ForceDirectories(ExtractFilePath(path));
  WriteWholeFile(path, bytes);
  return path;
}
