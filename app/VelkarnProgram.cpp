#include "VelkarnProgram.h"

#include <chrono>
#include <memory>
#include <thread>

#include "AEAudioIn.h"
#include "AEConsole.h"
#include "AEConvert.h"
#include "AEErrors.h"
#include "AEFileSystem.h"
#include "AEInstance.h"
#include "AESession.h"
#include "AETray.h"
#include "VelkarnEvents.h"
#include "VelkarnStatus.h"

namespace {

const char* const kInstanceName = "Vennrick.KIVU.Velkarn";

const char* BoolText(bool b) { return b ? "True" : "False"; }

std::string Int(std::int64_t v) { return std::to_string(v); }

// Ticks of 1 s until a stop request or the run time; a status line every 5th tick.
void RunMainLoop(TVelkarn& agent, std::int32_t runSeconds) {
  TAEStats previous = agent.Stats();
  std::int32_t ticks = 0;
  for (;;) {
    if (StopRequested.load()) break;
    if (runSeconds != 0 && ticks >= runSeconds) break;
    // A sleep, not a wait: the console handler and the POSIX signal handler may only set
    // the flag (a signal handler cannot notify a condition variable), so the flag is read
    // once a tick, and a stop is seen within a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ++ticks;
    if (ticks % 5 == 0) {
      TAEStats current = agent.Stats();
      std::string line = FormatStatusLine(EventTime(), current, previous);
      TAEMqttStats mqtt;
      if (agent.MqttStats(mqtt)) line += MqttStatusPart(mqtt);
      ConsoleWriteLine(line);
      previous = current;
    }
  }
}

// The tray icon, in an interactive session when asked for or when the console cannot be
// seen; nullptr otherwise. A tray without a window is kept (its icon may still come up
// once its thread is ready) and the program goes on either way.
std::unique_ptr<TAETray> CreateTray(const TAESettings& s, bool startInTray) {
  if (!IsInteractiveSession() || !(startInTray || !IsConsoleVisible())) return nullptr;
  if (startInTray) HideConsoleWindow();
  auto tray = std::make_unique<TAETray>(TrayTitle(s), TrayStatusText, RequestStop, TrayConsoleLink(s));
  if (tray->Wnd() == 0)
    ConsoleWriteLine("Tray icon could not be created (error " + Int(tray->LastError()) + ")");
  return tray;
}

}  // namespace

std::string TrayTitle(const TAESettings& s) {
  std::string title = "KIVU Velkarn " + Int(s.AgentId);
  if (!s.CompanyName.empty()) title += " - " + s.CompanyName;
  return title;
}

std::string TrayConsoleLink(const TAESettings& s) { return s.IsMqtt() ? s.ConsoleLink() : std::string(); }

TAECommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TAECommandLine cmd;
  for (const std::string& arg : args) {
    if (EqualsNoCase(arg, "--tray") || EqualsNoCase(arg, "/tray"))
      cmd.StartInTray = true;
    else if (const auto n = TryStrToInt(arg))
      cmd.RunSeconds = *n;
  }
  return cmd;
}

std::vector<std::string> BannerLines(const TAESettings& s, const std::vector<std::string>& recordingDevices) {
  std::vector<std::string> lines;
  if (s.IsAudio()) {
    lines.push_back("Velkarn " + Int(s.AgentId) + ": AUDIO source, device " + Int(s.AudioDevice) + ", " +
                    Int(s.SampleRateHz) + " Hz, window " + Int(s.SamplesPerHit) + " samples, threshold " +
                    RealText(s.ThresholdDb, 0) + " dB, dead time " + Int(s.DeadTimeMs) + " ms");
    for (std::size_t i = 0; i < recordingDevices.size(); ++i)
      lines.push_back("  recording device " + Int(static_cast<std::int64_t>(i)) + ": " + recordingDevices[i]);
  } else {
    lines.push_back("Velkarn " + Int(s.AgentId) + ": " + Int(s.Channels) + " channels, " +
                    RealText(s.HitsPerSecPerChannel, 1) + " hits/s/ch, " + Int(s.SamplesPerHit) + " samples at " +
                    RealText(static_cast<double>(s.SampleRateHz) / 1000000.0, 1) + " MS/s");
  }
  lines.push_back("Waveforms -> " + s.DataRoot + " (kept " + Int(s.RetentionHours) + " h)");
  if (!s.CompanyName.empty()) lines.push_back("Company: " + s.CompanyName);
  if (s.IsMqtt()) {
    const std::string waves = s.MqttSendWaves ? "up to " + Int(s.MqttMaxWavesPerSec) + "/s" : "off";
    lines.push_back("MQTT hits -> " + s.MqttUrl + " as " + s.MqttUser + " (waveforms to the server: " + waves + ")");
  } else {
    lines.push_back("UDP hits  -> " + s.UdpHost + ":" + Int(s.UdpPort) + "    wave server on TCP " +
                    Int(s.WaveServerPort));
  }
  lines.push_back("Ctrl+C to stop.");
  return lines;
}

int VelkarnMain(const std::vector<std::string>& args) {
  const TAECommandLine cmd = ParseCommandLine(args);

  if (!StandardOutputUsable()) {
    try {
      RedirectConsoleToFile(ExecutablePathWithExtension(".log"));
    } catch (const std::exception&) {
      return 1;  // no output anywhere: do not run unseen
    }
  }

  if (AcquireInstanceLock(kInstanceName) == TAEInstanceLock::HeldElsewhere) {
    ConsoleWriteLine("KIVU Velkarn is already running on this computer; this copy exits.");
    if (IsInteractiveSession())
      ShowInfoMessage(
          "KIVU Velkarn is already running on this computer.\r\n\r\n"
          "Its Vennrick icon is in the system tray (notification area, next to the clock).",
          "KIVU Velkarn");
    return 2;
  }

  std::unique_ptr<TVelkarn> agent;
  std::unique_ptr<TAETray> tray;
  try {
    agent = std::make_unique<TVelkarn>(ExecutablePathWithExtension(".ini"));
    Agent = agent.get();
    const std::vector<std::string> devices =
        agent->Settings().IsAudio() ? TAEAudioIn::DeviceNames() : std::vector<std::string>();
    for (const std::string& line : BannerLines(agent->Settings(), devices)) ConsoleWriteLine(line);
    InstallConsoleStopHandler(&StopRequested);
    agent->Start();
    ConsoleWriteLine(std::string("Tray: user session ") + BoolText(IsInteractiveSession()) + ", console visible " +
                     BoolText(IsConsoleVisible()) + ", --tray " + BoolText(cmd.StartInTray));
    tray = CreateTray(agent->Settings(), cmd.StartInTray);
    RunMainLoop(*agent, cmd.RunSeconds);
    ConsoleWriteLine("Stopping...");
    tray.reset();  // its thread ends here, so no status call reaches a stopped agent
    agent->Stop();
    if (!agent->Settings().IsAudio()) PrintClassifierReport(agent->Stats());
    Agent = nullptr;
    agent.reset();
    return 0;
  } catch (const std::exception& e) {
    // Tray and agent go first (threads joined, files closed); only then the line.
    tray.reset();
    Agent = nullptr;
    agent.reset();
    ConsoleWriteLine(DescribeException(e));
    return 1;
  }
}
