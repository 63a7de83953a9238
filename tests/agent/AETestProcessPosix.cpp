#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "AETestProcess.h"

extern char** environ;

struct TTestProcess::TImpl {
  pid_t Pid = -1;
  int PidFd = -1;
  std::optional<int> Exit;
};

TTestProcess::TTestProcess(const TOptions& o) : FImpl(std::make_unique<TImpl>()) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (o.NoStdout)
    posix_spawn_file_actions_addclose(&fa, STDOUT_FILENO);
  else
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, o.StdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "TMPDIR=", 7) != 0) env.emplace_back(*e);
  env.push_back("TMPDIR=" + o.TempFolder);
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args{o.Exe};
  args.insert(args.end(), o.Args.begin(), o.Args.end());
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&FImpl->Pid, o.Exe.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) throw std::runtime_error("posix_spawn " + o.Exe + ": " + std::strerror(rc));
  FImpl->PidFd = static_cast<int>(::syscall(SYS_pidfd_open, FImpl->Pid, 0));
  if (FImpl->PidFd < 0) throw std::runtime_error("pidfd_open");
}

TTestProcess::~TTestProcess() {
  if (!FImpl->Exit) {
    ::kill(FImpl->Pid, SIGKILL);
    int status = 0;
    ::waitpid(FImpl->Pid, &status, 0);
  }
  ::close(FImpl->PidFd);
}

std::optional<int> TTestProcess::Wait(int timeoutMs) {
  if (FImpl->Exit) return FImpl->Exit;
  pollfd p{FImpl->PidFd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  int status = 0;
  if (::waitpid(FImpl->Pid, &status, 0) != FImpl->Pid) return std::nullopt;
  FImpl->Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return FImpl->Exit;
}

void TTestProcess::RequestStop() { ::kill(FImpl->Pid, SIGTERM); }

std::string VelkarnExePath() { return VELKARN_EXE; }
