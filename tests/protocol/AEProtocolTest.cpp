#include "AEProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Bitwise CRC-32 (reflected 0xEDB88320, all-ones start and final xor): the reference
// the zlib-based seal is held to.
std::uint32_t ReferenceCrc32(const void* data, std::size_t len) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < len; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

template <typename R>
std::vector<std::uint8_t> Bytes(const R& r) {
  std::vector<std::uint8_t> b(sizeof(R));
  std::memcpy(b.data(), &r, sizeof(R));
  return b;
}

std::uint32_t U32At(const std::vector<std::uint8_t>& b, std::size_t off) {
  return b[off] | b[off + 1] << 8 | b[off + 2] << 16 | static_cast<std::uint32_t>(b[off + 3]) << 24;
}

// FILETIME of a UTC calendar instant.
std::int64_t Ticks(int y, int mo, int d, int h, int mi, int s, std::int64_t extraTicks = 0) {
  // Days from 1601-01-01 via the days-from-civil formula.
  y -= mo <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t daysSince1970 = era * 146097 + doe - 719468;
  const std::int64_t days = daysSince1970 + 134774;  // 1601-01-01 .. 1970-01-01
  return ((days * 24 + h) * 60 + mi) * 60 * kTicksPerSecond + s * kTicksPerSecond + extraTicks;
}

}  // namespace

TEST(Crc, ReferenceMatchesKnownVector) { EXPECT_EQ(ReferenceCrc32("123456789", 9), 0xCBF43926u); }

TEST(HitRecord, SealLaysOutEveryFieldLittleEndian) {
  TAEHitRecord r{};
  r.AgentId = 0x0102;
  r.Channel = 0x0304;
  r.Seq = 0x05060708;
  r.FileTime = 0x1112131415161718;
  r.SampleRateHz = 2000000;
  r.SampleCount = 4096;
  r.HitClass = hcLeak;
  r.SubCode = 1;
  r.Marker = 2;
  r.Confidence = 0.5f;
  r.Counts = 77;
  const std::uint32_t crc = InitHitRecord(r);
  const auto b = Bytes(r);
  ASSERT_EQ(b.size(), 76u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "AEH1");
  EXPECT_EQ(U32At(b, 0), kHitMagic);
  EXPECT_EQ(b[4] | b[5] << 8, 1);
  EXPECT_EQ(b[6] | b[7] << 8, 76);
  EXPECT_EQ((std::vector<std::uint8_t>{b[8], b[9], b[10], b[11]}), (std::vector<std::uint8_t>{2, 1, 4, 3}));
  EXPECT_EQ(U32At(b, 12), 0x05060708u);
  EXPECT_EQ(b[16], 0x18);
  EXPECT_EQ(b[23], 0x11);
  EXPECT_EQ(U32At(b, 24), 2000000u);
  EXPECT_EQ(U32At(b, 28), 4096u);
  EXPECT_EQ(b[32], 2);
  EXPECT_EQ(b[33], 1);
  EXPECT_EQ(b[34], 2);
  EXPECT_EQ(U32At(b, 36), 0x3F000000u);
  EXPECT_EQ(U32At(b, 64), 77u);
  EXPECT_EQ(U32At(b, 72), crc);
  EXPECT_EQ(crc, ReferenceCrc32(b.data(), 72));
  EXPECT_EQ(HitRecordCrc(r), crc);
}

TEST(Records, ZeroRecordsSealWithMagicVersionSizeAndStableCrc) {
  TAEPingRecord p{};
  TAEParamRecord q{};
  TAEHitRecord h{};
  const std::uint32_t pc = InitPingRecord(p), qc = InitParamRecord(q), hc = InitHitRecord(h);
  EXPECT_EQ(std::string(p.Magic, 4), "AEK1");
  EXPECT_EQ(std::string(q.Magic, 4), "AEQ1");
  EXPECT_EQ(p.Size, 40);
  EXPECT_EQ(q.Size, 36);
  EXPECT_EQ(p.Version, 1);
  EXPECT_EQ(pc, ReferenceCrc32(&p, 36));
  EXPECT_EQ(qc, ReferenceCrc32(&q, 32));
  EXPECT_EQ(hc, ReferenceCrc32(&h, 72));
  EXPECT_EQ(InitPingRecord(p), pc);  // sealing twice gives the same CRC
  EXPECT_EQ(InitParamRecord(q), qc);
  EXPECT_EQ(InitHitRecord(h), hc);
}

TEST(Records, HitSealSetsMarkerAndReservedNaN) {
  TAEHitRecord h{};
  h.Marker = 7;
  const std::uint32_t crc = InitHitRecord(h);
  const auto b = Bytes(h);
  EXPECT_EQ(b[34], 2);
  EXPECT_EQ(U32At(b, 68), 0xFFC00000u);
  EXPECT_EQ(crc, ReferenceCrc32(b.data(), 72));
}

TEST(Records, NewRecordClearsAndStampsTheHead) {
  const auto h = NewRecord<TAEHitRecord>(0x0102, 0x0304, 0x05060708, 0x1112131415161718);
  const auto p = NewRecord<TAEPingRecord>(0x0102, 0x0304, 0x05060708, 0x1112131415161718);
  const auto q = NewRecord<TAEParamRecord>(0x0102, 0x0304, 0x05060708, 0x1112131415161718);
  const std::vector<std::uint8_t> head = {2, 1, 4, 3, 8, 7, 6, 5, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11};
  for (const auto& b : {Bytes(h), Bytes(p), Bytes(q)}) {
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 8, b.begin() + 24), head);
    EXPECT_TRUE(std::all_of(b.begin(), b.begin() + 8, [](std::uint8_t x) { return x == 0; }));
    EXPECT_TRUE(std::all_of(b.begin() + 24, b.end(), [](std::uint8_t x) { return x == 0; }));
  }
}

TEST(Records, ChangeAfterSealBreaksCrc) {
  TAEParamRecord q{};
  q.Value = 40.0f;
  InitParamRecord(q);
  ASSERT_EQ(ParamRecordCrc(q), q.Crc);
  q.Seq = 2;
  EXPECT_NE(ParamRecordCrc(q), q.Crc);
  TAEPingRecord p{};
  InitPingRecord(p);
  p.Status = 1;
  EXPECT_NE(PingRecordCrc(p), p.Crc);
}

TEST(Clock, FileTimeToDateTimeKnownDates) {
  EXPECT_DOUBLE_EQ(FileTimeToDateTime(0), -109205.0);
  EXPECT_DOUBLE_EQ(FileTimeToDateTime(Ticks(1899, 12, 30, 0, 0, 0)), 0.0);
  EXPECT_DOUBLE_EQ(FileTimeToDateTime(Ticks(1970, 1, 1, 12, 0, 0)), 25569.5);
}

TEST(Clock, NowFileTimeIsTodayish) {
  const std::int64_t now = NowFileTime();
  EXPECT_GT(now, Ticks(2024, 1, 1, 0, 0, 0));
  EXPECT_LT(now, Ticks(2100, 1, 1, 0, 0, 0));
}

struct TCalendarCase {
  const char* Name;
  std::int64_t FileTime;
  TAECalendar Expected;
};

class Calendar : public testing::TestWithParam<TCalendarCase> {};

TEST_P(Calendar, FieldsOfTheInstant) {
  const TCalendarCase& k = GetParam();
  const TAECalendar c = FileTimeToCalendar(k.FileTime);
  const TAECalendar& e = k.Expected;
  EXPECT_EQ((std::vector<int>{c.Year, c.Month, c.Day, c.Hour, c.Minute, c.Second, c.Millisecond}),
            (std::vector<int>{e.Year, e.Month, e.Day, e.Hour, e.Minute, e.Second, e.Millisecond}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Calendar,
    testing::Values(
        TCalendarCase{"Epoch1601", 0, {1601, 1, 1, 0, 0, 0, 0}},
        TCalendarCase{"MsBefore1601", -kTicksPerMs, {1600, 12, 31, 23, 59, 59, 999}},
        TCalendarCase{"LeapDay1600", Ticks(1600, 2, 29, 6, 7, 8, 9 * kTicksPerMs), {1600, 2, 29, 6, 7, 8, 9}},
        TCalendarCase{"MsBeforeDateZero", Ticks(1899, 12, 30, 0, 0, 0) - kTicksPerMs, {1899, 12, 29, 23, 59, 59, 999}},
        TCalendarCase{"DateZero", Ticks(1899, 12, 30, 0, 0, 0), {1899, 12, 30, 0, 0, 0, 0}},
        TCalendarCase{"NoLeapDay1900", Ticks(1900, 2, 28, 0, 0, 0) + kTicksPerDay, {1900, 3, 1, 0, 0, 0, 0}},
        TCalendarCase{"MsBefore1970", Ticks(1970, 1, 1, 0, 0, 0) - kTicksPerMs, {1969, 12, 31, 23, 59, 59, 999}},
        TCalendarCase{"LeapDay2000", Ticks(2000, 2, 29, 12, 0, 0), {2000, 2, 29, 12, 0, 0, 0}},
        TCalendarCase{"NoLeapDay2100", Ticks(2100, 2, 28, 0, 0, 0) + kTicksPerDay, {2100, 3, 1, 0, 0, 0, 0}},
        TCalendarCase{"Year10000", Ticks(10000, 1, 1, 1, 0, 0), {10000, 1, 1, 1, 0, 0, 0}},
        TCalendarCase{"Year1", Ticks(1, 1, 1, 0, 0, 0), {1, 1, 1, 0, 0, 0, 0}},
        TCalendarCase{"BeforeYear1", Ticks(0, 12, 31, 23, 0, 0), {0, 12, 31, 23, 0, 0, 0}},
        TCalendarCase{"YearMinus1000", Ticks(-1000, 3, 1, 0, 0, 0), {-1000, 3, 1, 0, 0, 0, 0}}),
    [](const testing::TestParamInfo<TCalendarCase>& i) { return std::string(i.param.Name); });

TEST(Calendar, DaysRoundTripOverEveryDayFrom1200To2800) {
  const std::int64_t first = DaysFromCivil(1200, 1, 1), last = DaysFromCivil(2800, 12, 31);
  ASSERT_EQ(first, (Ticks(1200, 1, 1, 0, 0, 0) / kTicksPerDay) - 134774);
  std::int64_t leapDays = 0;
  for (std::int64_t d = first; d <= last; ++d) {
    const std::int64_t ticks = (d + 134774) * kTicksPerDay + 12 * 3600 * kTicksPerSecond;
    const TAECalendar c = FileTimeToCalendar(ticks);
    ASSERT_EQ(Ticks(c.Year, c.Month, c.Day, c.Hour, 0, 0), ticks) << "day " << d;
    ASSERT_EQ(c.Hour, 12) << "day " << d;
    ASSERT_EQ(DaysFromCivil(c.Year, c.Month, c.Day), d) << "day " << d;
    if (c.Month == 2 && c.Day == 29) ++leapDays;
  }
  EXPECT_EQ(leapDays, 401 - 12);  // every fourth year of 1601, less the centuries not divisible by 400
}

TEST(Calendar, DaysFromCivilKnownDays) {
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(1969, 12, 31), -1);
  EXPECT_EQ(DaysFromCivil(1899, 12, 30), -25569);
  EXPECT_EQ(DaysFromCivil(1601, 1, 1), -134774);
  EXPECT_EQ(DaysFromCivil(1, 1, 1), -719162);
  EXPECT_EQ(DaysFromCivil(0, 12, 31), -719163);
  EXPECT_EQ(DaysFromCivil(2000, 3, 1) - DaysFromCivil(2000, 2, 28), 2);
  EXPECT_EQ(DaysFromCivil(1900, 3, 1) - DaysFromCivil(1900, 2, 28), 1);
}

struct TJoinCase {
  const char* Name;
  std::string Folder, Name2, Expected;  // '/' stands for the platform's delimiter, '~' for the other one
};

class JoinPathCase : public testing::TestWithParam<TJoinCase> {};

TEST_P(JoinPathCase, AddsOneDelimiterUnlessTheFolderEndsInIt) {
  const char other = PathDelimiter() == '/' ? '\\' : '/';
  auto local = [&](std::string s) {
    for (char& ch : s) ch = ch == '/' ? PathDelimiter() : ch == '~' ? other : ch;
    return s;
  };
  const TJoinCase& k = GetParam();
  EXPECT_EQ(JoinPath(local(k.Folder), local(k.Name2)), local(k.Expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JoinPathCase,
    testing::Values(TJoinCase{"Plain", "/d", "Ch0001", "/d/Ch0001"},
                    TJoinCase{"TrailingDelimiter", "/d/", "Ch0001", "/d/Ch0001"},
                    TJoinCase{"OtherDelimiterIsNotTrailing", "/d~", "x", "/d~/x"},
                    TJoinCase{"EmptyFolder", "", "x", "/x"},
                    TJoinCase{"RootOnly", "/", "x", "/x"},
                    TJoinCase{"EmptyName", "/d", "", "/d/"},
                    TJoinCase{"NameWithDelimiters", "r", "a/b", "r/a/b"}),
    [](const testing::TestParamInfo<TJoinCase>& i) { return std::string(i.param.Name); });

struct TPathCase {
  const char* Name;
  std::string Root;
  std::uint16_t Channel;
  std::int64_t FileTime;
  std::uint32_t Seq;
  std::string Expected;  // '/' stands for the platform's delimiter
};

class HitPath : public testing::TestWithParam<TPathCase> {};

TEST_P(HitPath, FormsTheFolderScheme) {
  const TPathCase& c = GetParam();
  std::string expected = c.Expected, root = c.Root;
  for (char& ch : expected)
    if (ch == '/') ch = PathDelimiter();
  for (char& ch : root)
    if (ch == '/') ch = PathDelimiter();
  EXPECT_EQ(HitFileName(root, c.Channel, c.FileTime, c.Seq), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HitPath,
    testing::Values(
        TPathCase{"Plain", "/d", 3, Ticks(2026, 12, 10, 8, 15, 0), 42, "/d/Ch0003/20261210/08/00000042.aeh"},
        TPathCase{"RootWithDelimiter", "/d/", 3, Ticks(2026, 12, 10, 8, 15, 0), 42,
                  "/d/Ch0003/20261210/08/00000042.aeh"},
        TPathCase{"EmptyRoot", "", 1, Ticks(2026, 1, 2, 23, 0, 0), 1, "/Ch0001/20260102/23/00000001.aeh"},
        TPathCase{"FiveDigitChannelNineDigitSeq", "r", 12345, Ticks(2026, 1, 2, 3, 0, 0), 123456789,
                  "r/Ch12345/20260102/03/123456789.aeh"},
        TPathCase{"SeqAsSigned", "r", 1, Ticks(2026, 1, 2, 3, 0, 0), 0xFFFFFFFFu, "r/Ch0001/20260102/03/-00000001.aeh"},
        TPathCase{"PointThreeMsBeforeMidnightRoundsUp", "r", 1, Ticks(2026, 2, 28, 23, 59, 59, 9997000), 7,
                  "r/Ch0001/20260301/00/00000007.aeh"},
        TPathCase{"PointSevenMsBeforeMidnightStays", "r", 1, Ticks(2026, 2, 28, 23, 59, 59, 9993000), 7,
                  "r/Ch0001/20260228/23/00000007.aeh"},
        TPathCase{"LeapDay", "r", 2, Ticks(2024, 2, 29, 10, 30, 0), 5, "r/Ch0002/20240229/10/00000005.aeh"}),
    [](const testing::TestParamInfo<TPathCase>& i) { return std::string(i.param.Name); });

TEST(HitPath, OnlyThePlatformDelimiterCountsAsTrailing) {
  const char other = PathDelimiter() == '/' ? '\\' : '/';
  const std::string root = std::string("r") + other;
  const std::string path = HitFileName(root, 1, Ticks(2026, 1, 2, 3, 0, 0), 1);
  EXPECT_EQ(path.substr(0, 3), root + PathDelimiter());
}

TEST(HitClass, NamesByCode) {
  EXPECT_EQ(HitClassNames[hcNoise], "noise");
  EXPECT_EQ(HitClassNames[hcCrack], "crack");
  EXPECT_EQ(HitClassNames[hcLeak], "leak");
  EXPECT_EQ(HitClassNames[hcUnknown], "unknown");
}
