// Runs the real executable for end-to-end tests: its standard output goes to a file,
// its temp folder is the test's own (so its one-copy lock is the test's own too).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

class TTestProcess {
 public:
  struct TOptions {
    std::string Exe;
    std::vector<std::string> Args;
    std::string StdoutPath;      // empty with NoStdout
    bool NoStdout = false;       // start with standard output closed
    std::string TempFolder;      // TMPDIR of the child (POSIX)
    int MaxOpenFiles = 0;        // the child's descriptor limit, 0 = ours (POSIX)
  };
  explicit TTestProcess(const TOptions& options);
  ~TTestProcess();  // kills a child still running
  // Exit code, or nullopt when it has not ended within timeoutMs.
  std::optional<int> Wait(int timeoutMs);
  // Asks the child to stop the way the console would (POSIX: SIGTERM).
  void RequestStop();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// The path of the built executable under test, usable on this platform.
std::string VelkarnExePath();
