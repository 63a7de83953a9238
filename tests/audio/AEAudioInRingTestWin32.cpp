// The waveIn backend against a scripted device: the calls it makes and their order,
// the ring it polls, and the messages of every failing step.
#include <gtest/gtest.h>

#include "AEAudioIn.h"
#include "AEErrors.h"
#include "AEFakeWaveInWin32.h"

namespace {

using TCalls = std::vector<std::string>;

class WaveInRing : public testing::Test {
 protected:
  void SetUp() override { GFakeWaveIn = &FFake; }
  void TearDown() override { GFakeWaveIn = nullptr; }

  std::vector<std::vector<std::int16_t>> PollAll(TAEAudioIn& in) {
    std::vector<std::vector<std::int16_t>> got;
    in.Poll([&](const std::int16_t* s, std::int32_t n) { got.emplace_back(s, s + n); });
    return got;
  }
  static std::string ErrorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const EAEError& e) {
      return e.what();
    }
    return "(no error)";
  }

  TFakeWaveIn FFake;
};

TEST_F(WaveInRing, OpensWithTheFormatAndQueuesEveryBufferInOrder) {
  for (const auto& [id, expected] : {std::pair<std::int32_t, UINT>{-1, WAVE_MAPPER}, {-77, WAVE_MAPPER}, {0, 0}, {3, 3}}) {
    SCOPED_TRACE(id);
    FFake = TFakeWaveIn{};
    {
      TAEAudioIn in(id, 44100, 512, 3);
      EXPECT_EQ(FFake.OpenedDevice, expected);
      EXPECT_EQ(FFake.Calls, (TCalls{"open", "prepare 0", "add 0", "prepare 1", "add 1", "prepare 2", "add 2"}));
    }
    EXPECT_EQ(FFake.Callback, 0u);
    EXPECT_EQ(FFake.Instance, 0u);
    EXPECT_EQ(FFake.OpenFlags, static_cast<DWORD>(CALLBACK_NULL));
    const WAVEFORMATEX& f = FFake.Format;
    EXPECT_EQ(f.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(f.nChannels, 1);
    EXPECT_EQ(f.nSamplesPerSec, 44100u);
    EXPECT_EQ(f.nAvgBytesPerSec, 88200u);
    EXPECT_EQ(f.nBlockAlign, 2);
    EXPECT_EQ(f.wBitsPerSample, 16);
    EXPECT_EQ(f.cbSize, 0);
    ASSERT_EQ(FFake.Headers.size(), 3u);
    for (WAVEHDR* h : FFake.Headers) EXPECT_EQ(h->dwBufferLength, 1024u);
  }
}

// Reset before unprepare (a queued buffer cannot be unprepared), every header
// unprepared, the never-prepared ones too, then close.
TEST_F(WaveInRing, DestroyResetsUnpreparesEveryHeaderThenCloses) {
  {
    TAEAudioIn in(-1, 8000, 16, 3);
    in.Start();
    FFake.Calls.clear();
  }
  EXPECT_EQ(FFake.Calls, (TCalls{"reset", "unprepare 0", "unprepare 1", "unprepare 2", "close"}));
  for (WAVEHDR* h : FFake.Headers) EXPECT_EQ(h->dwFlags & WHDR_PREPARED, 0u);
}

TEST_F(WaveInRing, FailingStepsRaiseTheirMessageAndCloseWhatWasOpened) {
  struct TCase {
    const char* Name;
    void (*Script)(TFakeWaveIn&);
    std::string Message;
    TCalls Calls;
  };
  const TCase cases[] = {
      {"open", [](TFakeWaveIn& f) { f.OpenResult = MMSYSERR_BADDEVICEID; }, "Audio input: open failed (2) text of 2",
       {"open"}},
      {"third prepare", [](TFakeWaveIn& f) { f.PrepareFailsAt = 3; }, "Audio input: prepare failed (11) text of 11",
       {"open", "prepare 0", "add 0", "prepare 1", "add 1", "prepare 2", "reset", "unprepare 0", "unprepare 1",
        "unprepare 2", "unprepare 3", "close"}},
      {"second add", [](TFakeWaveIn& f) { f.AddFailsAt = 2; }, "Audio input: add buffer failed (11) text of 11",
       {"open", "prepare 0", "add 0", "prepare 1", "add 1", "reset", "unprepare 0", "unprepare 1", "unprepare 2",
        "unprepare 3", "close"}},
      {"no text", [](TFakeWaveIn& f) { f.OpenResult = 7, f.NoErrorText = true; }, "Audio input: open failed (7) ",
       {"open"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    FFake = TFakeWaveIn{};
    c.Script(FFake);
    EXPECT_EQ(ErrorOf([] { TAEAudioIn in(-1, 8000, 16, 4); }), c.Message);
    EXPECT_EQ(FFake.Calls, c.Calls);
  }
}

TEST_F(WaveInRing, StartIsCheckedAndStopIsNot) {
  TAEAudioIn in(-1, 8000, 16, 2);
  FFake.StartResult = MMSYSERR_NOMEM;
  EXPECT_EQ(ErrorOf([&] { in.Start(); }), "Audio input: start failed (7) text of 7");
  FFake.StopResult = MMSYSERR_ERROR;
  EXPECT_EQ(ErrorOf([&] { in.Stop(); }), "(no error)");
  EXPECT_EQ(FFake.Calls.back(), "stop");
}

// Only the buffer at the ring's position counts: one finished early waits for it, and
// the ring goes round from the last buffer to the first.
TEST_F(WaveInRing, PollFollowsTheRingOrder) {
  TAEAudioIn in(-1, 8000, 4, 3);
  in.Start();
  EXPECT_TRUE(PollAll(in).empty());

  FFake.Finish(0, {1, 2, 3, 4});
  FFake.Finish(1, {5, 6, 7, 8});
  FFake.Calls.clear();
  EXPECT_EQ(PollAll(in), (std::vector<std::vector<std::int16_t>>{{1, 2, 3, 4}, {5, 6, 7, 8}}));
  EXPECT_EQ(FFake.Calls, (TCalls{"add 0", "add 1"}));

  FFake.Finish(0, {13, 14, 15, 16});  // the ring's next is buffer 2
  EXPECT_TRUE(PollAll(in).empty());
  FFake.Finish(2, {9, 10, 11, 12});
  FFake.Calls.clear();
  EXPECT_EQ(PollAll(in), (std::vector<std::vector<std::int16_t>>{{9, 10, 11, 12}, {13, 14, 15, 16}}));
  EXPECT_EQ(FFake.Calls, (TCalls{"add 2", "add 0"}));
  for (WAVEHDR* h : FFake.Headers) EXPECT_EQ(h->dwBytesRecorded, 0u);
}

// Whole samples only: an empty buffer goes back without a call, an odd byte is left out.
TEST_F(WaveInRing, PartlyFilledBuffersHandOverTheirWholeSamples) {
  TAEAudioIn in(-1, 8000, 1024, 3);
  in.Start();
  FFake.FinishBytes(0, 0);
  FFake.FinishBytes(1, 2047);
  FFake.FinishBytes(2, 1);
  std::vector<std::int32_t> counts;
  in.Poll([&](const std::int16_t*, std::int32_t n) { counts.push_back(n); });
  EXPECT_EQ(counts, (std::vector<std::int32_t>{1023}));
  EXPECT_EQ(FFake.AddCalls, 3 + 3);  // all three went back to the device
}

TEST_F(WaveInRing, FailedRequeueRaisesAndTheRingStaysOnThatBuffer) {
  TAEAudioIn in(-1, 8000, 2, 2);
  in.Start();
  FFake.Finish(0, {1, 2});
  FFake.AddFailsAt = FFake.AddCalls + 1;
  std::vector<std::vector<std::int16_t>> got;
  const TAESampleProc keep = [&](const std::int16_t* s, std::int32_t n) { got.emplace_back(s, s + n); };
  EXPECT_EQ(ErrorOf([&] { in.Poll(keep); }), "Audio input: add buffer failed (11) text of 11");
  EXPECT_EQ(got.size(), 1u);
  EXPECT_EQ(FFake.Headers[0]->dwBytesRecorded, 0u);
  FFake.Calls.clear();
  in.Poll(keep);  // the same header again: nothing left to hand over, queued once more
  EXPECT_EQ(got.size(), 1u);
  EXPECT_EQ(FFake.Calls, (TCalls{"add 0"}));
}

TEST_F(WaveInRing, DeviceNamesByNumberWithAQuestionMarkForAnUnreadableOne) {
  EXPECT_TRUE(TAEAudioIn::DeviceNames().empty());
  FFake.Devices = {L"Mikrofon (USB) \u00e4", L"broken", std::wstring(32, L'L') + L"-cut"};
  FFake.CapsFail = {false, true, false};
  EXPECT_EQ(TAEAudioIn::DeviceNames(),
            (std::vector<std::string>{"Mikrofon (USB) \xc3\xa4", "?", std::string(32, 'L')}));
  EXPECT_TRUE(FFake.Calls.empty()) << "listing needs no open device";
}

}  // namespace
