// Everything that leaves the agent for a finished hit (hit file, hit record, counters)
// and the channels' pings. SendRecord is the one road of every record out.
#include <cstring>

#include "AEErrors.h"
#include "AEFileReplace.h"
#include "AEFileSystem.h"
#include "AEUdp.h"
#include "VelkarnCore.h"

namespace {

template <typename T>
std::span<const std::uint8_t> BytesOf(const T& record) {
  return {reinterpret_cast<const std::uint8_t*>(&record), sizeof record};
}

}  // namespace

void TVelkarn::EmitHit(std::int32_t ch, std::uint8_t truth, TAEHitRecord& record, const TAEHitFeatures& f) {
  record.SampleRateHz = FSettings.SampleRateHz;
  record.SampleCount = static_cast<std::uint32_t>(FSamples.size());
  // Tonality serves only the classifier.
  record.AmplitudeDb = f.AmplitudeDb;
  record.Energy = f.Energy;
  record.PeakFreqKHz = f.PeakFreqKHz;
  record.CentroidKHz = f.CentroidKHz;
  record.RiseTimeUs = f.RiseTimeUs;
  record.DurationUs = f.DurationUs;
  record.Counts = f.Counts;
  InitHitRecord(record);

  // The record leaves only after its file is complete, so a collector that asks the
  // wave server for the hit on receipt of the record finds it.
  try {
    WriteHitFile(ch, truth, record);
  } catch (const std::exception&) {
    ++FStats.FileErrors;  // the hit is still sent and counted
  }
  try {
    SendRecord("hit", BytesOf(record));
    ++FStats.UdpSent;
  } catch (const std::exception&) {
    ++FStats.UdpErrors;
  }
  ++FStats.Hits;
  ++FHitsSinceLast[static_cast<std::size_t>(ch)];
  if (truth <= 3 && record.HitClass <= 3) ++FStats.Confusion[truth][record.HitClass];
}

void TVelkarn::WriteHitFile(std::int32_t ch, std::uint8_t truth, const TAEHitRecord& record) {
  const auto channel = static_cast<std::uint16_t>(ch);
  const std::string path = HitFileName(FSettings.DataRoot, channel, record.FileTime, record.Seq);
  const std::string folder = HitFolderName(FSettings.DataRoot, channel, record.FileTime);
  std::string& lastDir = FLastDir[static_cast<std::size_t>(ch)];
  if (folder != lastDir) {
    ForceDirectories(folder);
    lastDir = folder;  // only once made: a folder that failed is tried again next hit
  }
  TAEWaveHeader header;
  std::memset(&header, 0, sizeof header);
  std::memcpy(header.Magic, &kWaveMagic, sizeof header.Magic);
  header.Hit = record;
  header.TrueClass = truth;
  header.VoltsPerCount = static_cast<float>(FSettings.VoltsPerCount());
  const std::size_t sampleBytes = FSamples.size() * sizeof(std::int16_t);
  const std::string_view head{reinterpret_cast<const char*>(&header), sizeof header};
  const std::string_view body{reinterpret_cast<const char*>(FSamples.data()), sampleBytes};
  if (!ReplaceFileContents(path, head, body)) {
    // The folder was made, then removed from outside: make it again, once, for this hit.
    ForceDirectories(folder);
    if (!ReplaceFileContents(path, head, body))
      throw EAEFileError("Cannot create file \"" + path + "\": its folder vanished again", 0);
  }
  ++FStats.FilesWritten;
  FStats.BytesWritten += static_cast<std::int64_t>(sizeof header + sampleBytes);
  // Inside the file block: a wave that fails counts as a file error.
  PublishWave(header);
}

void TVelkarn::SendRecord(std::string_view kind, std::span<const std::uint8_t> bytes) {
  // kind names the MQTT topic's last level; a UDP datagram carries no kind of its own.
  if (FMqtt) {
    std::string suffix = "/";
    suffix += kind;
    FMqtt->Publish(MqttTopic(suffix), TAEBytes(bytes.begin(), bytes.end()), 0, false);
    return;
  }
  FUdp->Send(bytes);
}

void TVelkarn::SendPings(std::int32_t uptimeSec) {
  for (std::int32_t ch = 1; ch <= FSettings.Channels; ++ch) {
    const auto slot = static_cast<std::size_t>(ch);
    if (FFailed[slot]) continue;
    ++FPingSeq[slot];
    auto r = NewRecord<TAEPingRecord>(FSettings.AgentId, static_cast<std::uint16_t>(ch), FPingSeq[slot], NowFileTime());
    r.UptimeSec = static_cast<std::uint32_t>(uptimeSec);
    r.HitsSinceLast = FHitsSinceLast[slot];
    r.IntervalSec = static_cast<std::uint16_t>(FSettings.PingIntervalSec);
    if (FSettings.IsAudio() && !AudioOk())
      r.Status = 2;
    else
      r.Status = r.HitsSinceLast > 0 ? 0 : 1;
    InitPingRecord(r);
    FHitsSinceLast[slot] = 0;
    try {
      SendRecord("ping", BytesOf(r));
      ++FStats.PingsSent;
    } catch (const std::exception&) {
      ++FStats.UdpErrors;
    }
  }
}
