// TAEAudioIn against a capture device that plays a known file at the real sample rate.
#include <gtest/gtest.h>

#include <algorithm>

#include "AEAudioIn.h"
#include "AEErrors.h"
#include "AETestCapture.h"

using namespace std::chrono_literals;

namespace {

struct TStreamCase {
  std::uint32_t Rate;
  std::int32_t BufferSamples;
  std::int32_t BufferCount;
  std::size_t FileSamples;
};

void PrintTo(const TStreamCase& c, std::ostream* os) {
  *os << c.Rate << " Hz, " << c.BufferCount << " x " << c.BufferSamples << ", file " << c.FileSamples;
}

class AudioInStream : public testing::TestWithParam<TStreamCase> {};

// The file comes through exactly once, in order and in whole buffers, followed by the
// device's silence; nothing comes before Start.
TEST_P(AudioInStream, HandsOverTheFileInWholeBuffersInOrder) {
  const TStreamCase& c = GetParam();
  TAETempDir dir;
  const std::vector<std::int16_t> file = NoiseSamples(c.FileSamples, c.Rate);
  ServeCaptureFile(dir, file);

  TAEAudioIn in(-1, c.Rate, c.BufferSamples, c.BufferCount);
  // Give the device time to fill a buffer or two, were it (wrongly) running already.
  const std::vector<TAEBuffer> early = PollUntil(in, 100ms, [](const auto&) { return false; });
  EXPECT_TRUE(early.empty());

  in.Start();
  const std::size_t wanted = c.FileSamples + 2 * static_cast<std::size_t>(c.BufferSamples);
  const auto fileMs = std::chrono::milliseconds(c.FileSamples * 1000 / c.Rate);
  const std::vector<TAEBuffer> buffers =
      PollUntil(in, fileMs + 5s, [&](const auto& got) { return SampleCount(got) >= wanted; });

  for (std::size_t i = 0; i < buffers.size(); ++i)
    ASSERT_EQ(buffers[i].size(), static_cast<std::size_t>(c.BufferSamples)) << "buffer " << i;
  const std::vector<std::int16_t> all = Concat(buffers);
  ASSERT_GE(all.size(), wanted);
  ASSERT_TRUE(std::equal(file.begin(), file.end(), all.begin())) << "the file does not come through unchanged";
  EXPECT_TRUE(std::all_of(all.begin() + static_cast<std::ptrdiff_t>(file.size()), all.end(),
                          [](std::int16_t s) { return s == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Shapes, AudioInStream,
                         testing::Values(TStreamCase{8000, 256, 16, 8000 + 100},    // file ends inside a buffer
                                         TStreamCase{48000, 1024, 16, 48000 + 517},  // the agent's ring
                                         TStreamCase{11025, 1000, 5, 11025}),        // odd sizes
                         [](const auto& info) {
                           return std::to_string(info.param.Rate) + "Hz_" + std::to_string(info.param.BufferCount) +
                                  "x" + std::to_string(info.param.BufferSamples);
                         });

struct TProcFailed {
  int Code;
};

// A procedure that raises leaves its buffer with the input: the exception arrives
// unchanged and the next poll starts with that same buffer, so nothing is lost.
TEST(AudioIn, ProcExceptionPassesThroughAndTheBufferComesAgain) {
  TAETempDir dir;
  const std::vector<std::int16_t> file = NoiseSamples(4000, 7);
  ServeCaptureFile(dir, file);
  TAEAudioIn in(-1, 8000, 200, 16);
  in.Start();

  std::vector<std::int16_t> refused;
  const TAESampleProc refuse = [&](const std::int16_t* samples, std::int32_t count) {
    refused.assign(samples, samples + count);
    throw TProcFailed{42};
  };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  bool thrown = false;
  while (!thrown && std::chrono::steady_clock::now() < deadline) {
    try {
      in.Poll(refuse);
    } catch (const TProcFailed& e) {
      EXPECT_EQ(e.Code, 42);
      thrown = true;
    }
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(thrown);
  ASSERT_EQ(refused, std::vector<std::int16_t>(file.begin(), file.begin() + 200));

  const std::vector<TAEBuffer> buffers = PollUntil(in, 5s, [](const auto& got) { return got.size() >= 3; });
  const std::vector<std::int16_t> all = Concat(buffers);
  ASSERT_GE(all.size(), 600u);
  EXPECT_TRUE(std::equal(all.begin(), all.begin() + 600, file.begin()));
}

// An input that is closed frees the device for the next: the new one plays from the
// device's start, the way the agent reopens a failed input.
TEST(AudioIn, ReopenedInputRecordsAgain) {
  TAETempDir dir;
  const std::vector<std::int16_t> file = NoiseSamples(4000, 99);
  ServeCaptureFile(dir, file);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    TAEAudioIn in(-1, 8000, 256, 16);
    in.Start();
    const std::vector<TAEBuffer> buffers = PollUntil(in, 5s, [](const auto& got) { return got.size() >= 2; });
    const std::vector<std::int16_t> all = Concat(buffers);
    ASSERT_GE(all.size(), 512u);
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + 512, file.begin()));
  }
}

TEST(AudioIn, RejectsAnEmptyRingBeforeTouchingTheDevice) {
  struct TShape {
    std::int32_t Samples, Count;
  };
  for (const TShape s : {TShape{0, 4}, TShape{256, 0}, TShape{-1, 16}, TShape{1024, -3}}) {
    SCOPED_TRACE(std::to_string(s.Samples) + " x " + std::to_string(s.Count));
    try {
      TAEAudioIn in(-1, 8000, s.Samples, s.Count);
      ADD_FAILURE() << "no error";
    } catch (const EAEError& e) {
      EXPECT_EQ(std::string(e.what()), "Audio input: " + std::to_string(s.Count) + " buffers of " +
                                           std::to_string(s.Samples) + " samples are not possible");
    }
  }
}

}  // namespace
