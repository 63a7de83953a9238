// The retention sweep on real folder trees in a temp folder.
#include "AERetention.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "AETestFileTime.h"
#include "AEUndeletableFile.h"
#include "common/AETestTemp.h"

namespace fs = std::filesystem;

namespace {

class Retention : public testing::Test {
 protected:
  // Creates root/rel (a folder) with one hit file in it.
  void Hour(const std::string& rel) {
    fs::create_directories(FTemp.Path() / rel);
    WriteFileBytes(FTemp.Path() / rel / "00000001.aeh", "hit");
  }
  void Folder(const std::string& rel) { fs::create_directories(FTemp.Path() / rel); }
  void File(const std::string& rel) { WriteFileBytes(FTemp.Path() / rel, "file"); }
  bool Exists(const std::string& rel) const { return fs::exists(FTemp.Path() / rel); }
  void Sweep(std::int32_t hours, std::int64_t now) { SweepRetention(FTemp.Str(), hours, now); }

  // Every path below the root, sorted, with '/' between the parts.
  std::vector<std::string> Tree() const {
    std::vector<std::string> all;
    for (const auto& e : fs::recursive_directory_iterator(FTemp.Path()))
      all.push_back(fs::relative(e.path(), FTemp.Path()).generic_string());
    std::sort(all.begin(), all.end());
    return all;
  }

  TAETempDir FTemp;
};

const std::int64_t kNow = FileTimeOf(2026, 12, 10, 12, 30);  // cutoff with 24 h: 2026-12-09 12:30

TEST_F(Retention, DeletesHoursOlderThanTheCutoffAndEmptiedDays) {
  Hour("Ch0001/20261208/23");
  Hour("Ch0001/20261209/00");
  Hour("Ch0001/20261209/11");  // ended 12:00, before the cutoff
  Hour("Ch0001/20261209/12");  // ends 13:00, after it
  Hour("Ch0001/20261210/12");  // the current hour
  Hour("Ch0001/20261211/03");  // the future (a clock set back)
  Hour("Ch0002/20261101/07");
  Hour("Ch0002/20261101/7");   // hour 7 as well
  Sweep(24, kNow);
  const std::vector<std::string> expected = {
      "Ch0001",
      "Ch0001/20261209",
      "Ch0001/20261209/12",
      "Ch0001/20261209/12/00000001.aeh",
      "Ch0001/20261210",
      "Ch0001/20261210/12",
      "Ch0001/20261210/12/00000001.aeh",
      "Ch0001/20261211",
      "Ch0001/20261211/03",
      "Ch0001/20261211/03/00000001.aeh",
      "Ch0002",  // a channel folder stays, even empty
  };
  EXPECT_EQ(Tree(), expected);
}

struct TCutoffCase {
  const char* Name;
  std::int64_t Now;
  std::int32_t Hours;
  const char* HourFolder;
  bool Deleted;
};

TEST_F(Retention, HourEndingExactlyAtTheCutoffStays) {
  const TCutoffCase cases[] = {
      {"ends at the cutoff", FileTimeOf(2026, 12, 10, 12, 0, 0, 0), 1, "Ch0001/20261210/10", false},
      {"ends 1 ms before", FileTimeOf(2026, 12, 10, 12, 0, 0, 1), 1, "Ch0001/20261210/10", true},
      {"current hour, 1 h", FileTimeOf(2026, 12, 10, 12, 59, 59, 999), 1, "Ch0001/20261210/12", false},
      {"leap day's last hour", FileTimeOf(2024, 3, 1, 0, 30), 1, "Ch0001/20240229/23", false},
      {"leap day's hour before", FileTimeOf(2024, 3, 1, 0, 30), 1, "Ch0001/20240229/22", true},
      {"across a year", FileTimeOf(2027, 1, 1, 0, 0, 0, 1), 1, "Ch0001/20261231/22", true},
      {"a year back, kept", FileTimeOf(2026, 12, 10, 12, 30), 8784, "Ch0001/20251210/12", false},
      {"a year back, deleted", FileTimeOf(2026, 12, 10, 12, 30), 8760, "Ch0001/20251210/11", true},
      {"largest retention", FileTimeOf(2026, 12, 10, 12, 30), INT_MAX, "Ch0001/00010101/00", false},
      {"year 1 with a huge retention", FileTimeOf(2026, 12, 10, 12, 30), 17'000'000, "Ch0001/00010101/00", true},
  };
  for (const TCutoffCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Hour(c.HourFolder);
    Sweep(c.Hours, c.Now);
    EXPECT_EQ(!Exists(c.HourFolder), c.Deleted);
    fs::remove_all(FTemp.Path() / "Ch0001");
  }
}

TEST_F(Retention, ZeroOrNegativeHoursDeleteNothing) {
  for (const std::int32_t hours : {0, -5, INT_MIN}) {
    SCOPED_TRACE(hours);
    Hour("Ch0001/19990101/00");
    Folder("Ch0001/20000101");
    Sweep(hours, kNow);
    EXPECT_TRUE(Exists("Ch0001/19990101/00/00000001.aeh"));
    EXPECT_TRUE(Exists("Ch0001/20000101"));
  }
}

TEST_F(Retention, WalksOnlyWellFormedNames) {
  Hour("Chart/20200101/05");          // begins with Ch: walked
  Hour("ch0003/20200101/05");         // letter case ignored
  Hour("Data/20200101/05");           // not a channel folder
  Hour("Ch0001/20200101/24");         // no such hour
  Hour("Ch0001/20200101/ab");         // not a number
  Hour("Ch0001/20200102/-1");
  Hour("Ch0001/20200103/05");
  File("Ch0001/20200103/note.txt");   // a file in a day folder keeps it
  Hour("Ch0001/20201301/05");         // month 13: hours never deleted
  Hour("Ch0001/20200230/05");         // 30 February
  Hour("Ch0001/20190229/05");         // 29 February of a common year
  Hour("Ch0001/19000229/05");         // nor of a century not divisible by 400
  Hour("Ch0001/20000229/05");         // but of one that is
  Hour("Ch0001/20200100/05");         // day 0
  Folder("Ch0001/20201301x");         // 9 characters: not a day folder
  Folder("Ch0001/2020011");           // 7 characters
  Folder("Ch0001/2020ab01");          // month not a number
  Folder("Ch0001/20200231");          // empty day with an impossible date: deleted
  Folder("Ch0001/20261210");          // today's, empty: deleted
  Hour("Ch0001/2020 101/05");         // " 1" converts: January 2020
  File("Ch0001/00000001.aeh");        // files in a channel folder and the root stay
  File("stray.aeh");
  Sweep(24, kNow);

  EXPECT_FALSE(Exists("Chart/20200101"));
  EXPECT_FALSE(Exists("ch0003/20200101"));
  EXPECT_TRUE(Exists("Chart"));
  EXPECT_TRUE(Exists("Data/20200101/05/00000001.aeh"));
  EXPECT_TRUE(Exists("Ch0001/20200101/24/00000001.aeh"));
  EXPECT_TRUE(Exists("Ch0001/20200101/ab/00000001.aeh"));
  EXPECT_TRUE(Exists("Ch0001/20200102/-1/00000001.aeh"));
  EXPECT_FALSE(Exists("Ch0001/20200103/05"));
  EXPECT_TRUE(Exists("Ch0001/20200103/note.txt"));
  EXPECT_TRUE(Exists("Ch0001/20201301/05/00000001.aeh"));
  EXPECT_TRUE(Exists("Ch0001/20200230/05/00000001.aeh"));
  EXPECT_TRUE(Exists("Ch0001/20190229/05/00000001.aeh"));
  EXPECT_TRUE(Exists("Ch0001/19000229/05/00000001.aeh"));
  EXPECT_FALSE(Exists("Ch0001/20000229"));
  EXPECT_TRUE(Exists("Ch0001/20200100/05/00000001.aeh"));
  EXPECT_TRUE(Exists("Ch0001/20201301x"));
  EXPECT_TRUE(Exists("Ch0001/2020011"));
  EXPECT_TRUE(Exists("Ch0001/2020ab01"));
  EXPECT_FALSE(Exists("Ch0001/20200231"));
  EXPECT_FALSE(Exists("Ch0001/20261210"));
  EXPECT_FALSE(Exists("Ch0001/2020 101"));
  EXPECT_TRUE(Exists("Ch0001/00000001.aeh"));
  EXPECT_TRUE(Exists("stray.aeh"));
}

TEST_F(Retention, ReadOnlyHitFileGoesWithItsFolder) {
  Hour("Ch0001/20200101/05");
  fs::permissions(FTemp.Path() / "Ch0001/20200101/05/00000001.aeh", fs::perms::owner_read);
  Sweep(24, kNow);
  EXPECT_FALSE(Exists("Ch0001/20200101"));
}

TEST_F(Retention, UndeletableEntryStaysAndTheSweepGoesOn) {
  for (const char* ch : {"Ch0001", "Ch0002", "Ch0003"})
    for (const char* hour : {"01", "02", "03"}) Hour(std::string(ch) + "/20200101/" + hour);
  TAEUndeletableFile stuck((FTemp.Path() / "Ch0002/20200101/02/00000002.aeh").string());
  Sweep(24, kNow);
  const std::vector<std::string> expected = {
      "Ch0001", "Ch0002", "Ch0002/20200101", "Ch0002/20200101/02", "Ch0002/20200101/02/00000002.aeh", "Ch0003",
  };
  EXPECT_EQ(Tree(), expected);
}

TEST_F(Retention, MissingDataRootIsNoError) {
  EXPECT_NO_THROW(SweepRetention(FTemp.Str("missing"), 24, kNow));
  EXPECT_FALSE(Exists("missing"));
}

}  // namespace
