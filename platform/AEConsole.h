// The program's console: where its lines go, the stop events of the console, the console
// window and the message box. Lines are whole text lines, each written with one call and
// ended by CR LF; ConsoleWriteLine is safe from any thread.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

// False when the process has no usable standard output (Windows: no standard-output
// handle; POSIX: file descriptor 1 closed or invalid). Called once at start-up; on
// POSIX it also makes a write to a closed pipe fail instead of killing the process.
bool StandardOutputUsable();

// Sends every later console line to the file at path, appended when it exists, created
// otherwise. Raises EAEFileError when it can be neither opened nor created.
void RedirectConsoleToFile(const std::string& path);

// Writes text and CR LF as one line to the console output. A failing write is dropped:
// there is nowhere left to report it.
void ConsoleWriteLine(std::string_view text);

// From now on every console stop event (Windows: every console control event; POSIX:
// SIGINT, SIGTERM, SIGHUP) sets *flag and returns at once. The flag must outlive the
// process's handling of events (a program-wide flag).
void InstallConsoleStopHandler(std::atomic<bool>* flag);

// Hides the console window when the process has one (Windows); false when there is none.
bool HideConsoleWindow();

// A modal information box with an OK button (Windows); does nothing elsewhere.
void ShowInfoMessage(const std::string& text, const std::string& caption);

// Local time of day of the wall clock.
struct TAETimeOfDay {
  int Hour, Minute, Second;
};
TAETimeOfDay LocalTimeOfDay();
