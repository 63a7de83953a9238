// The sound-card trigger fed directly, without a device: trigger level, the windows it
// cuts in whatever pieces the samples arrive, dead time, the two-way class rule, the
// hit-number resume and the pings of a closed input.
#include <filesystem>
#include <limits>

#include "AEErrors.h"
#include "VelkarnTriggerKit.h"

namespace fs = std::filesystem;

namespace {

struct TLevelCase {
  double ThresholdV, VoltsPerCount;
  std::int32_t Level;
};

TEST(AudioTriggerLevel, RoundsHalfToEvenAndNeverGoesBelowOne) {
  const double defaultVpc = 10.0 / 32768 / 100;  // 10 V full scale, 40 dB preamp
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const TLevelCase cases[] = {
      {1e-4, defaultVpc, 33},  // 32.768
      {32.5, 1, 32},           {33.5, 1, 34}, {2.5, 1, 2}, {0.5, 1, 1}, {0.4, 1, 1},
      {1e-4, 0, 1},            // infinite ratio
      {0, 0, 1},               // not a number
      {nan, 1, 1},             {-5, 1, 1},
      {3e9, 1, std::numeric_limits<std::int32_t>::max()},  // above 32 bits: never fires, never wraps
      {1e200, 1e-100, std::numeric_limits<std::int32_t>::max()},
  };
  for (const TLevelCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.ThresholdV) + " V / " + std::to_string(c.VoltsPerCount));
    EXPECT_EQ(AudioTriggerCounts(c.ThresholdV, c.VoltsPerCount), c.Level);
  }
}

class AudioTrigger : public testing::Test {
 protected:
  // An agent in audio mode with its trigger reset but no input: the test is the device.
  TVelkarnAudioProbe& Make(std::int32_t rate, std::int32_t p, std::int32_t l, std::int32_t deadMs) {
    Agent = MakeAgent(Temp, AudioIni(Temp, Udp.Port(), rate, p, l, deadMs));
    Probe = std::make_unique<TVelkarnAudioProbe>(*Agent);
    Probe->ResetTrigger();
    return *Probe;
  }
  std::vector<TAEHitRecord> Hits() { return DrainDatagrams(Udp, 100).Hits; }

  TAETempDir Temp;
  TTestUdpReceiver Udp;
  std::unique_ptr<TVelkarn> Agent;
  std::unique_ptr<TVelkarnAudioProbe> Probe;
};

// One stream with a click at the very start, clicks below, at and above the level, a
// pair closer than the dead time, one right at its end and one a sample before; fed in
// pieces of every size, from one sample to the whole stream, the windows do not change.
TEST_F(AudioTrigger, CutsTheSameWindowsWhateverPiecesTheSamplesComeIn) {
  const std::int32_t rate = 16000, p = 32, l = 128, deadMs = 10;  // D = 160
  const std::int64_t d = 160;
  std::vector<std::int16_t> stream = QuietStream(4000, 33, 5);
  AddClick(stream, 0, -33, 60);    // at index 0: the pre-trigger part is all zeros
  AddClick(stream, 300, 32, 60);   // below the level: nothing
  AddClick(stream, 500, 500, 60);  // window ends at 500 + 95 = 595
  AddClick(stream, 700, 900, 60);  // 595 + 105: still dead
  const std::int64_t third = 1000;
  AddClick(stream, third, -32768, 60);  // window ends at 1095
  stream[1095 + d - 1] = 700;  // one sample too early
  stream[1095 + d] = 40;       // the first that may fire again
  AddClick(stream, 3990, 2000, 10);  // window not complete at the end
  const TReferenceTrigger model{p, l, 33, d};
  const auto want = model.Run(stream);
  ASSERT_EQ(want.size(), 4u);
  ASSERT_EQ(want[0].TriggerIdx, 0);
  EXPECT_EQ(std::vector<std::int16_t>(want[0].Samples.begin(), want[0].Samples.begin() + p),
            std::vector<std::int16_t>(p, 0));
  EXPECT_EQ(want[0].Samples[p], -33);
  ASSERT_EQ(want[1].TriggerIdx, 500);
  ASSERT_EQ(want[2].TriggerIdx, third);
  ASSERT_EQ(want[3].TriggerIdx, 1095 + d);
  EXPECT_EQ(want[3].Samples[p - 1], 700) << "the sample that could not fire is in the pre-trigger part";
  // The pre-trigger part of a window is the 32 samples before its trigger.
  EXPECT_EQ(std::vector<std::int16_t>(want[1].Samples.begin(), want[1].Samples.begin() + p + 1),
            std::vector<std::int16_t>(stream.begin() + 500 - p, stream.begin() + 501));

  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{128}, std::size_t{1024}, stream.size()}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    TVelkarnAudioProbe& probe = Make(rate, p, l, deadMs);
    for (std::size_t at = 0; at < stream.size(); at += piece)
      probe.Process(std::span(stream).subspan(at, std::min(piece, stream.size() - at)));
    EXPECT_EQ(probe.SampleIdx(), static_cast<std::int64_t>(stream.size()));
    EXPECT_TRUE(probe.Capturing());
    EXPECT_EQ(probe.DeadUntil(), want[3].TriggerIdx + (l - p - 1) + d);
    ExpectHits(Hits(), want, Temp.Str("Data"), 1, rate);
    EXPECT_EQ(Agent->Stats().Hits, 4);
    EXPECT_EQ(Agent->Stats().FilesWritten, 4);
    EXPECT_EQ(Agent->Stats().Confusion[0][0] + Agent->Stats().Confusion[3][3], 0) << "no true class, no count";
  }
}

// A trigger that follows the previous window by k <= P samples takes the older part
// of its pre-trigger samples from before that window: the ring stands still while a
// window is captured.
TEST_F(AudioTrigger, RingHoldsOnlySamplesFromOutsideWindows) {
  const std::int32_t p = 16, l = 32;
  TVelkarnAudioProbe& probe = Make(8000, p, l, 0);  // D = 0: the very next sample may fire
  std::vector<std::int16_t> stream(200);
  for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::int16_t>(i % 30);  // below 33
  stream[50] = 100;                    // window 34 .. 81, trigger at 50, last sample 65
  stream[66 + 4] = -100;               // k = 5 samples after the last one
  probe.Process(stream);
  const auto hits = Hits();
  ASSERT_EQ(hits.size(), 2u);
  THitFile second;
  ASSERT_TRUE(ReadHitFile(HitFileName(Temp.Str("Data"), 1, hits[1].FileTime, hits[1].Seq), second));
  std::vector<std::int16_t> want;
  // P - k + 1 = 12 oldest: samples 39 .. 49 and the trigger sample 50, then the
  // k - 1 = 4 samples 66 .. 69; then the trigger and 15 more.
  for (int i = 39; i <= 50; ++i) want.push_back(stream[static_cast<std::size_t>(i)]);
  for (int i = 66; i <= 85; ++i) want.push_back(stream[static_cast<std::size_t>(i)]);
  EXPECT_EQ(second.Samples, want);
}

TEST_F(AudioTrigger, DeadTimeAt48kHzBlocksExactlyTheNext11999Samples) {
  const std::int32_t p = 512, l = 4096;
  for (const std::int64_t gap : {std::int64_t{11999}, std::int64_t{12000}}) {
    SCOPED_TRACE(gap);
    TVelkarnAudioProbe& probe = Make(48000, p, l, 250);
    std::vector<std::int16_t> stream(4096 + 12001 + 4096, 0);
    stream[512] = 33;                                 // window 0 .. 4095, emitted on sample 4095
    stream[static_cast<std::size_t>(4095 + gap)] = 33;  // gap samples after the window's last
    probe.Process(stream);
    EXPECT_EQ(probe.DeadUntil() > 4095 + 12000, gap == 12000) << "a second window was taken";
    const auto hits = Hits();
    ASSERT_EQ(hits.size(), gap == 12000 ? 2u : 1u);
    THitFile first;
    ASSERT_TRUE(ReadHitFile(HitFileName(Temp.Str("Data"), 1, hits[0].FileTime, hits[0].Seq), first));
    ASSERT_EQ(first.Samples.size(), 4096u);
    EXPECT_EQ(first.Samples[512], 33);
    EXPECT_EQ(std::count(first.Samples.begin(), first.Samples.end(), 0), 4095);
  }
}

// A steady tone over the whole window is "unknown" with its tonality as confidence; a
// click is "noise", sub-code 2, confidence 1.
TEST_F(AudioTrigger, HitsCarryTheTwoWayClass) {
  const std::int32_t rate = 48000, p = 512, l = 4096;
  TVelkarnAudioProbe& probe = Make(rate, p, l, 0);
  std::vector<std::int16_t> stream(3 * l, 0);
  AddClick(stream, 600, 20000, 200);
  AddTone(stream, 600 + l + p, 8000, 1000.0 / rate, 2 * l);
  probe.Process(stream);
  const auto hits = Hits();
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].HitClass, hcNoise);
  EXPECT_EQ(hits[0].SubCode, 2);
  EXPECT_EQ(hits[0].Confidence, 1.0f);
  EXPECT_EQ(hits[1].HitClass, hcUnknown);
  EXPECT_EQ(hits[1].SubCode, 1);
  EXPECT_GT(hits[1].Confidence, 0.6f);
  EXPECT_LE(hits[1].Confidence, 0.99f);
  EXPECT_EQ(Agent->Stats().Hits, 2);
}

struct TResumeCase {
  const char* Name;
  std::vector<std::string> Files;  // below Data, "/" between folders
  std::uint32_t NextSeq;
};

void PrintTo(const TResumeCase& c, std::ostream* os) { *os << c.Name; }

class AudioResume : public AudioTrigger, public testing::WithParamInterface<TResumeCase> {};

// The first hit of a run takes the number after the largest one that a hit-file name
// of channel 1 carries, at any depth; other names, other channels and folders do not
// count.
TEST_P(AudioResume, FirstHitTakesTheNextNumber) {
  const TResumeCase& c = GetParam();
  for (const std::string& f : c.Files) {
    const fs::path path = Temp.Path() / "Data" / fs::path(f).make_preferred();
    fs::create_directories(path.parent_path());
    if (path.filename() == "00000500.aeh")
      fs::create_directories(path);  // a folder named like a hit file
    else
      WriteFileBytes(path, "x");
  }
  fs::create_directories(Temp.Path() / "Data" / "Ch0001");
  TVelkarnAudioProbe& probe = Make(8000, 16, 32, 0);
  probe.ResetTrigger();
  Agent->Start();  // resumes, then finds no device and runs on; the thread is stopped at once
  Agent->Stop();
  EXPECT_EQ(probe.Seq() + 1, c.NextSeq);
  std::vector<std::int16_t> stream(64, 0);
  stream[20] = 1000;
  probe.Process(stream);
  const auto hits = Hits();
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].Seq, c.NextSeq);
  EXPECT_TRUE(fs::exists(HitFileName(Temp.Str("Data"), 1, hits[0].FileTime, hits[0].Seq)));
}

INSTANTIATE_TEST_SUITE_P(
    Files, AudioResume,
    testing::Values(
        TResumeCase{"None", {}, 1},
        TResumeCase{"TwoHoursAndJunk",
                    {"Ch0001/20261209/23/00000007.aeh", "Ch0001/20261210/01/00000012.aeh",
                     "Ch0001/20261210/01/notanumber.aeh", "Ch0001/20261210/01/00000099.txt",
                     "Ch0001/20261210/01/12.5.aeh", "Ch0001/20261210/01/.aeh", "Ch0001/20261210/00000500.aeh",
                     "Ch0001/00000300.aeh.bak", "Ch0002/20261210/01/00000900.aeh", "Data00000800.aeh"},
                    13},
        TResumeCase{"DeepAndUpperCase", {"Ch0001/a/b/c/d/00000040.AEH", "Ch0001/00000003.aeh"}, 41},
        TResumeCase{"IntegerSyntax", {"Ch0001/x/ 0x10.aeh", "Ch0001/x/$0F.aeh", "Ch0001/x/+9.aeh"}, 17},
        TResumeCase{"OutOfRangeSkipped", {"Ch0001/x/4294967295.aeh", "Ch0001/x/00000003.aeh"}, 4},
        TResumeCase{"MinusOneWraps", {"Ch0001/x/-1.aeh", "Ch0001/x/00000005.aeh"}, 0}),
    [](const auto& info) { return std::string(info.param.Name); });

// A channel folder that cannot be listed stops the start: resuming from nothing would
// number hits from 1 again and overwrite files of the same hour.
TEST_F(AudioTrigger, StartFailsWhenTheChannelFolderCannotBeListed) {
  fs::create_directories(Temp.Path() / "Data");
  WriteFileBytes(Temp.Path() / "Data" / "Ch0001", "not a folder");
  Make(8000, 16, 32, 0);
  try {
    Agent->Start();
    ADD_FAILURE() << "started";
  } catch (const EAEFileError& e) {
    EXPECT_NE(std::string(e.what()).find("Ch0001"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(Agent->AudioOk());
}

}  // namespace
