// What only the ALSA backend shows: ALSA's error numbers and texts, the device list
// from ALSA's hints, an overrun, and a device that fails in the middle of recording.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "AEAudioIn.h"
#include "AEErrors.h"
#include "AETestCapture.h"

using namespace std::chrono_literals;

namespace {

std::string OpenError(std::int32_t deviceId, std::uint32_t rate) {
  try {
    TAEAudioIn in(deviceId, rate, 256, 4);
  } catch (const EAEError& e) {
    return e.what();
  }
  return "(no error)";
}

// 1, 2, 3 ... n: 0 is left for the silence after the end of the file.
std::vector<std::int16_t> Ramp(std::size_t n) {
  std::vector<std::int16_t> ramp(n);
  for (std::size_t i = 0; i < n; ++i) ramp[i] = static_cast<std::int16_t>(i + 1);
  return ramp;
}

// Records the ramp at 8 kHz in four buffers of 256 (128 ms of slack) with a stall of
// 400 ms, well past the device's buffer, after the first two buffers; every buffer up
// to the silence after the end. late, when given, is the device's late mode, read when
// it opens.
std::vector<TAEBuffer> RecordARampPastAStall(const TAETempDir& dir, const std::vector<std::int16_t>& ramp,
                                             const char* late = nullptr) {
  ServeCaptureFile(dir, ramp);
  if (late != nullptr) setenv("VELKARN_AUDIO_LATE", late, 1);
  TAEAudioIn in(-1, 8000, 256, 4);
  if (late != nullptr) unsetenv("VELKARN_AUDIO_LATE");
  in.Start();
  std::vector<TAEBuffer> buffers = PollUntil(in, 5s, [](const auto& got) { return got.size() >= 2; });
  std::this_thread::sleep_for(400ms);  // the device runs on, unread
  const std::vector<TAEBuffer> later =
      PollUntil(in, 5s, [](const auto& got) { return !got.empty() && got.back().back() == 0; });
  buffers.insert(buffers.end(), later.begin(), later.end());
  return buffers;
}

TEST(AudioInAlsa, ListsThePluginByItsDescriptionAndOpensItByNumber) {
  TAETempDir dir;
  const std::vector<std::int16_t> file = NoiseSamples(2000, 5);
  ServeCaptureFile(dir, file);
  const std::vector<std::string> names = TAEAudioIn::DeviceNames();
  const auto it = std::find(names.begin(), names.end(), "Velkarn test capture");
  ASSERT_NE(it, names.end()) << "listed: " << testing::PrintToString(names);

  TAEAudioIn in(static_cast<std::int32_t>(it - names.begin()), 8000, 250, 16);
  in.Start();
  const std::vector<std::int16_t> all = Concat(PollUntil(in, 5s, [](const auto& got) { return got.size() >= 2; }));
  ASSERT_GE(all.size(), 500u);
  EXPECT_TRUE(std::equal(all.begin(), all.begin() + 500, file.begin()));
}

// What stderr receives while `f` runs.
std::string StderrOf(const std::function<void()>& f) {
  std::fflush(stderr);
  std::FILE* capture = std::tmpfile();
  const int saved = dup(2);
  dup2(fileno(capture), 2);
  f();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::rewind(capture);
  std::string text;
  for (int c; (c = std::fgetc(capture)) != EOF;) text += static_cast<char>(c);
  std::fclose(capture);
  return text;
}

TEST(AudioInAlsa, OpenFailuresNameTheStepTheNumberAndAlsasText) {
  TAETempDir dir;
  ServeCaptureFile(dir, NoiseSamples(100, 1));
  const auto count = static_cast<std::int32_t>(TAEAudioIn::DeviceNames().size());
  EXPECT_EQ(OpenError(count, 8000), "Audio input: open failed (-19) No such device");
  EXPECT_EQ(OpenError(1000000, 8000), "Audio input: open failed (-19) No such device");
  EXPECT_EQ(OpenError(-1, 1000), "Audio input: open failed (-22) Invalid argument");  // rate the device refuses
  ASSERT_EQ(setenv("VELKARN_AUDIO_FILE", dir.Str("missing.raw").c_str(), 1), 0);
  // The reason is in the message; ALSA's own diagnostics stay off stderr, which a
  // reopen every few seconds would otherwise fill.
  std::string error;
  EXPECT_EQ(StderrOf([&] { error = OpenError(-7, 8000); }), "");
  EXPECT_EQ(error, "Audio input: open failed (-2) No such file or directory");
  const char* config = std::getenv("ALSA_CONFIG_PATH");
  const std::string savedConfig = config != nullptr ? config : "";
  ASSERT_EQ(setenv("ALSA_CONFIG_PATH", "/nonexistent/alsa.conf", 1), 0);
  EXPECT_EQ(StderrOf([&] { error = OpenError(-1, 8000); }), "");
  EXPECT_EQ(error.rfind("Audio input: open failed (-", 0), 0u) << error;
  ASSERT_EQ(setenv("ALSA_CONFIG_PATH", savedConfig.c_str(), 1), 0);  // for the cases after this one
}

// A device that fails after the end of its file: the samples before it arrive in
// whole buffers, the failure carries ALSA's number and text, and a new input on the
// same device records again from its start.
TEST(AudioInAlsa, ReadFailureRaisesAndAReopenedInputRecordsAgain) {
  TAETempDir dir;
  const std::vector<std::int16_t> file = NoiseSamples(8000 + 100, 3);
  ServeCaptureFile(dir, file, /*errorAtEnd=*/true);
  {
    TAEAudioIn in(-1, 8000, 256, 16);
    in.Start();
    std::vector<std::int16_t> all;
    const TAESampleProc keep = [&](const std::int16_t* s, std::int32_t n) {
      EXPECT_EQ(n, 256);
      all.insert(all.end(), s, s + n);
    };
    std::string error;
    const auto deadline = std::chrono::steady_clock::now() + 6s;
    while (error.empty() && std::chrono::steady_clock::now() < deadline) {
      try {
        in.Poll(keep);
      } catch (const EAEError& e) {
        error = e.what();
      }
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(error, "Audio input: add buffer failed (-5) Input/output error");
    // 8100 samples make 31 whole buffers; the 164 left over never fill the 32nd.
    ASSERT_EQ(all.size(), 31u * 256u);
    EXPECT_TRUE(std::equal(all.begin(), all.end(), file.begin()));
  }
  TAEAudioIn in(-1, 8000, 256, 16);
  in.Start();
  const std::vector<std::int16_t> again = Concat(PollUntil(in, 5s, [](const auto& got) { return got.size() >= 2; }));
  ASSERT_GE(again.size(), 512u);
  EXPECT_TRUE(std::equal(again.begin(), again.begin() + 512, file.begin()));
}

// An input polled too late loses samples, as a ring that ran dry does, and records on
// without an error: each buffer is still one unbroken piece of the stream.
TEST(AudioInAlsa, OverrunLosesSamplesAndRecordingGoesOn) {
  TAETempDir dir;
  const std::vector<TAEBuffer> buffers = RecordARampPastAStall(dir, Ramp(12000));

  int gaps = 0;
  std::int16_t last = 0;
  for (const TAEBuffer& b : buffers) {
    ASSERT_EQ(b.size(), 256u);
    if (b.front() == 0) break;  // the silence after the end
    for (std::size_t i = 1; i < b.size(); ++i)
      if (b[i] != 0) {
        ASSERT_EQ(b[i], b[i - 1] + 1) << "a buffer joins two pieces of the stream";
      }
    if (last != 0 && b.front() != last + 1) {
      EXPECT_GT(b.front(), last) << "samples came twice";
      ++gaps;
    }
    last = b.back();
  }
  EXPECT_GE(gaps, 1);  // one at least: a loaded machine may stall a poll again
  EXPECT_EQ(buffers.back().back(), 0) << "recording did not go on to the end";
}

// The test device's "wait" mode, which the Wine runs use: the same stall loses nothing.
TEST(AudioInAlsa, TheTestDeviceCanWaitForALateReaderInsteadOfOverrunning) {
  TAETempDir dir;
  const std::vector<std::int16_t> ramp = Ramp(12000);
  const std::vector<TAEBuffer> buffers = RecordARampPastAStall(dir, ramp, "wait");

  std::vector<std::int16_t> got;
  for (const TAEBuffer& b : buffers) got.insert(got.end(), b.begin(), b.end());
  got.erase(std::find(got.begin(), got.end(), 0), got.end());
  EXPECT_EQ(got, ramp) << "every sample once, in order";
}

TEST(AudioInAlsa, StopEndsRecordingAndStartResumesIt) {
  TAETempDir dir;
  ServeCaptureFile(dir, NoiseSamples(16000, 11));
  TAEAudioIn in(-1, 8000, 200, 16);
  in.Start();
  ASSERT_FALSE(PollUntil(in, 5s, [](const auto& got) { return !got.empty(); }).empty());
  in.Stop();
  EXPECT_TRUE(PollUntil(in, 150ms, [](const auto&) { return false; }).empty());
  in.Start();
  EXPECT_FALSE(PollUntil(in, 5s, [](const auto& got) { return !got.empty(); }).empty());
}

}  // namespace
