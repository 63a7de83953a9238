// A real mosquitto broker for tests, on 127.0.0.1 and a free port held for it, with its own
// config, password file (made with mosquitto_passwd) and log in a temp folder;
// anonymous access off, persistence off. Stopped by pid; Restart keeps the port.
//
// The broker is a Unix program, driven through /bin/sh scripts: natively with the
// system's shell, and under Wine by starting the Unix shell from the Windows test
// (Wine runs Unix executables), so the same tests run in both builds. A broker that
// cannot be started raises: it is a failure, never a skip.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/AETestListener.h"

class TAEMosquitto {
 public:
  // users: logins the password file accepts; the first is the default one.
  explicit TAEMosquitto(std::vector<std::pair<std::string, std::string>> users = {{"velkarn", "s3cret-pw"}});
  ~TAEMosquitto();
  TAEMosquitto(const TAEMosquitto&) = delete;
  TAEMosquitto& operator=(const TAEMosquitto&) = delete;

  // Lines added to the broker's config from the next Start on (limits for a benchmark).
  void SetExtraConfig(std::string lines) { FExtraConfig = std::move(lines); }
  // Starts the broker and waits until it accepts connections (10 s at most).
  void Start();
  // Ends it (SIGTERM, then SIGKILL after 5 s) and waits until it has gone.
  void Stop();
  void Restart() {
    Stop();
    Start();
  }
  bool Running() const { return FRunning; }

  std::string Host() const { return "127.0.0.1"; }
  std::uint16_t Port() const { return FPort.Port(); }
  const std::string& User() const { return FUsers.front().first; }
  const std::string& Password() const { return FUsers.front().second; }
  // The broker's own log, for failure messages.
  std::string Log() const;

 private:
  int Shell(const std::string& body, int timeoutMs = 20000);
  std::string Local(const std::string& name) const;

  std::vector<std::pair<std::string, std::string>> FUsers;
  std::string FUnixDir;  // the folder as the Unix shell and mosquitto see it
  TAEHeldPort FPort;
  bool FRunning = false;
  int FScripts = 0;
  std::string FExtraConfig;
};

// Backend: starts /bin/sh on a script (given by its Unix path) without waiting for it;
// the script reports its end through a file.
void StartUnixShell(const std::string& unixScriptPath);
// The path under which this program opens a Unix path.
std::string LocalPathOfUnix(const std::string& unixPath);
