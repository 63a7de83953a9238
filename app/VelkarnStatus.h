// The program's status texts: the status line every 5 s, the tray's status text and
// stop request, and the classifier-against-truth report at the end of a simulation.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "VelkarnCore.h"

// Program-wide state of the entry. StopRequested only ever goes from false to true
// (console events, the tray's Exit); Agent is set while the agent exists.
extern std::atomic<bool> StopRequested;
extern TVelkarn* Agent;

// A real with the given decimals and the locale's decimal separator ("%.1f").
std::string RealText(double value, int decimals);

// The status line from the current and previous snapshots; time is "hh:nn:ss".
std::string FormatStatusLine(const std::string& time, const TAEStats& current, const TAEStats& previous);

// The MQTT part of the status line: "  | mqtt up queued 0 dropped 0 reconnects 0", with
// "  LOGIN USED BY ANOTHER AGENT?" at its end while a duplicate login is suspected.
std::string MqttStatusPart(const TAEMqttStats& s);
// The MQTT part of the tray's status text: ", server OK" or ", server OFFLINE", then
// ", LOGIN USED BY ANOTHER AGENT?" while a duplicate login is suspected.
std::string MqttStatusText(const TAEMqttStats& s);

// The tray's status text from a statistics copy and the audio state; of the given
// agent; and of the program's Agent. Any thread while the agent exists.
std::string StatusText(const TAEStats& s, bool isAudio, bool audioOk);
std::string StatusTextOf(const TVelkarn& agent);
std::string TrayStatusText();

// The tray's Exit: sets StopRequested and returns at once.
void RequestStop();

// The classifier report's lines, and writing them to the console output.
std::vector<std::string> ClassifierReportLines(const TAEStats& stats);
void PrintClassifierReport(const TAEStats& stats);
