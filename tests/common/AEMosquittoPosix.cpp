#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "AEMosquitto.h"

void StartUnixShell(const std::string& unixScriptPath) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::execl("/bin/sh", "sh", unixScriptPath.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The scripts are short (the broker itself runs in the background), so reaping here
  // keeps no zombie behind; their result arrives through the file they write.
  int status = 0;
  ::waitpid(pid, &status, 0);
}

std::string LocalPathOfUnix(const std::string& unixPath) { return unixPath; }
