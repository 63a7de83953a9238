// A UDP sender's resolver driven by the test: the i-th call answers answers[i] ("" or
// none: it fails with "cannot resolve <host>: <failure>"), and a gated one's calls wait
// until the test opens it. The state is shared with the lookup thread, which may outlive
// the object; a wait is bounded, so that a test that fails before it opens leaves no
// thread behind.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "AEErrors.h"
#include "AEUdp.h"

class TScriptedResolver {
 public:
  explicit TScriptedResolver(std::vector<std::string> answers, bool gated = false,
                             std::string failure = "scripted")
      : FState(std::make_shared<TState>()) {
    FState->Answers = std::move(answers);
    FState->Open = !gated;
    FState->Failure = std::move(failure);
  }
  TAEUdpSender::TResolver Fn() const {
    return [state = FState](const std::string& host) {
      std::unique_lock lock(state->Lock);
      const std::size_t call = state->Calls++;
      state->Changed.notify_all();
      state->Changed.wait_for(lock, std::chrono::seconds(60), [&] { return state->Open; });
      if (call >= state->Answers.size() || state->Answers[call].empty())
        throw EAEOsError("cannot resolve " + host + ": " + state->Failure, 1);
      return state->Answers[call];
    };
  }
  void Open() {
    std::lock_guard lock(FState->Lock);
    FState->Open = true;
    FState->Changed.notify_all();
  }
  int Calls() const {
    std::lock_guard lock(FState->Lock);
    return static_cast<int>(FState->Calls);
  }
  bool WaitCalls(std::size_t n) {
    std::unique_lock lock(FState->Lock);
    return FState->Changed.wait_for(lock, std::chrono::seconds(10), [&] { return FState->Calls >= n; });
  }

 private:
  struct TState {
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::string> Answers;  // guarded by Lock
    std::size_t Calls = 0;             // guarded by Lock
    bool Open = false;                 // guarded by Lock
    std::string Failure;               // guarded by Lock
  };
  std::shared_ptr<TState> FState;
};
