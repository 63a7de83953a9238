#include "VelkarnStatus.h"

#include <cstdio>

#include "AEConsole.h"
#include "AELocale.h"
#include "AEProtocol.h"

std::atomic<bool> StopRequested{false};
TVelkarn* Agent = nullptr;

namespace {

// Right-aligned in width characters; a longer text is not cut.
std::string PadLeft(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string Int(std::int64_t v) { return std::to_string(v); }

}  // namespace

std::string RealText(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  std::string text = buf;
  for (char& c : text)
    if (c == '.') c = LocaleDecimalSeparator();
  return text;
}

std::string FormatStatusLine(const std::string& time, const TAEStats& s, const TAEStats& prev) {
  const double rate = static_cast<double>(s.Hits - prev.Hits) / 5.0;
  const double mb = static_cast<double>(s.BytesWritten) / 1048576.0;
  return time + "  hits " + Int(s.Hits) + " (+" + RealText(rate, 0) + "/s)  sent " + Int(s.UdpSent) + " ping " +
         Int(s.PingsSent) + " param " + Int(s.ParamsSent) + " err " + Int(s.UdpErrors) + "  files " +
         Int(s.FilesWritten) + " (" + RealText(mb, 1) + " MB) err " + Int(s.FileErrors) + "  wave req " +
         Int(s.WaveRequests) + "  loop err " + Int(s.LoopErrors) + "  audio err " + Int(s.AudioErrors);
}

std::string MqttStatusPart(const TAEMqttStats& s) {
  return std::string("  | mqtt ") + (s.Connected ? "up" : "DOWN") + " queued " + Int(s.Queued) + " dropped " +
         Int(s.Dropped) + " reconnects " + Int(s.Reconnects) + (s.DuplicateSuspected ? "  LOGIN USED BY ANOTHER AGENT?" : "");
}

std::string MqttStatusText(const TAEMqttStats& s) {
  return std::string(s.Connected ? ", server OK" : ", server OFFLINE") +
         (s.DuplicateSuspected ? ", LOGIN USED BY ANOTHER AGENT?" : "");
}

std::string StatusText(const TAEStats& s, bool isAudio, bool audioOk) {
  // Failed sends and hit files are not errors of the node here: only its own loop's.
  std::string text = "hits " + Int(s.Hits) + ", errors " + Int(s.LoopErrors + s.AudioErrors);
  if (isAudio) text += audioOk ? ", microphone OK" : ", microphone FAULT";
  return text;
}

std::string StatusTextOf(const TVelkarn& agent) {
  std::string text = StatusText(agent.Stats(), agent.Settings().IsAudio(), agent.AudioOk());
  TAEMqttStats mqtt;
  if (agent.MqttStats(mqtt)) text += MqttStatusText(mqtt);
  return text;
}

std::string TrayStatusText() { return Agent != nullptr ? StatusTextOf(*Agent) : std::string(); }

void RequestStop() { StopRequested.store(true); }

std::vector<std::string> ClassifierReportLines(const TAEStats& stats) {
  std::vector<std::string> lines;
  lines.emplace_back();
  lines.emplace_back("Classifier vs. simulator truth (rows = true class):");
  std::string header = PadLeft("", 10);
  for (const char* name : {"noise", "crack", "leak", "unknown"}) header.append(" ").append(PadLeft(name, 10));
  lines.push_back(header);
  std::int64_t total = 0;
  std::int64_t correct = 0;
  for (int j = 0; j < 4; ++j) {
    std::string row = PadLeft(std::string(HitClassNames[static_cast<std::size_t>(j)]), 10);
    for (int i = 0; i < 4; ++i) {
      const std::int64_t n = stats.Confusion[j][i];
      row.append(" ").append(PadLeft(Int(n), 10));
      total += n;
      if (i == j) correct += n;
    }
    lines.push_back(row);
  }
  if (total > 0)
    lines.push_back("Accuracy: " + RealText(static_cast<double>(correct * 100) / static_cast<double>(total), 1) +
                    "% of " + Int(total) + " hits");
  return lines;
}

void PrintClassifierReport(const TAEStats& stats) {
  for (const std::string& line : ClassifierReportLines(stats)) ConsoleWriteLine(line);
}
