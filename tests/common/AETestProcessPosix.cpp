#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  if (o.MaxOpenFiles > 0) files.rlim_cur = static_cast<rlim_t>(o.MaxOpenFiles);
  // A pipe that exec closes tells the parent whether the child got as far as exec.
  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));

  // fork, not posix_spawn, for the descriptor limit. The test process may have threads:
  // the child makes only async-signal-safe calls until exec.
  FImpl->Pid = ::fork();
  if (FImpl->Pid == 0) {
    ::close(status[0]);
    int err = 0;
    if (o.NoStdout) {
      ::close(STDOUT_FILENO);
    } else {
      const int fd = ::open(o.StdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) err = errno;
      if (fd > STDOUT_FILENO) ::close(fd);
    }
    if (err == 0 && ::setrlimit(RLIMIT_NOFILE, &files) != 0) err = errno;
    if (err == 0) ::execve(o.Exe.c_str(), argv.data(), envp.data());
    if (err == 0) err = errno;
    [[maybe_unused]] const ssize_t n = ::write(status[1], &err, sizeof err);
    ::_exit(127);
  }
  const int forkErr = errno;
  ::close(status[1]);
  if (FImpl->Pid < 0) {
    ::close(status[0]);
    throw std::runtime_error(std::string("fork: ") + std::strerror(forkErr));
  }
  int childErr = 0;
  ssize_t got;
  do got = ::read(status[0], &childErr, sizeof childErr);
  while (got < 0 && errno == EINTR);
  ::close(status[0]);
  if (got > 0) {
    int ignored = 0;
    ::waitpid(FImpl->Pid, &ignored, 0);
    FImpl->Exit = 127;
    throw std::runtime_error("start " + o.Exe + ": " + std::strerror(childErr));
  }
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
