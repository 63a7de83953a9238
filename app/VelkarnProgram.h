// The program entry: command line, output, single instance, agent, main loop, shutdown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AESettings.h"

struct TAECommandLine {
  std::int32_t RunSeconds = 0;  // loop ticks; 0 = until stopped, negative = no tick at all
  bool StartInTray = false;
};

// "--tray" or "/tray" (any case) asks for the tray; every other argument that converts
// as a whole to a 32-bit integer is the run time (a later one wins); the rest is ignored.
TAECommandLine ParseCommandLine(const std::vector<std::string>& args);

// The start banner from the loaded settings; recordingDevices (by device number) are
// listed in audio mode.
std::vector<std::string> BannerLines(const TAESettings& s, const std::vector<std::string>& recordingDevices = {});

// The tray's title: "KIVU Velkarn <agent id>", then " - <company>" when there is one.
std::string TrayTitle(const TAESettings& s);
// The tray's web-console link: the settings' link in mqtt mode, none in udp mode.
std::string TrayConsoleLink(const TAESettings& s);

// The whole program; returns the exit code: 0 normal end, 1 error, 2 another copy runs.
int VelkarnMain(const std::vector<std::string>& args);
