#include "AEIniFile.h"

#include <gtest/gtest.h>

TEST(IniFile, ReadingRules) {
  TAEIniFile ini;
  ini.Parse(
      "Orphan=1\r\n"
      "  [ Agent ]  \r\n"
      "; comment=1\r\n"
      "  Channels  =  8  \r\n"
      "channels=9\r\n"
      "NoValue\r\n"
      "Empty=\r\n"
      "Eq=a=b\n"
      "[Network]\n"
      "UdpHost=10.0.0.1\n"
      "[AGENT]\n"
      "AgentId=5\n");
  EXPECT_EQ(ini.Value("agent", "CHANNELS"), "8");  // first occurrence, names without case
  EXPECT_EQ(ini.Value("Agent", "Orphan"), std::nullopt);  // before any section
  EXPECT_EQ(ini.Value("Agent", "NoValue"), std::nullopt);
  EXPECT_EQ(ini.Value("Agent", "Empty"), std::nullopt);
  EXPECT_EQ(ini.Value("Agent", "Eq"), "a=b");
  EXPECT_EQ(ini.Value("Agent", "AgentId"), std::nullopt);  // under a repeated heading
  EXPECT_EQ(ini.Value("Network", "UdpHost"), "10.0.0.1");
  EXPECT_EQ(ini.Value("Missing", "UdpHost"), std::nullopt);
}

TEST(IniFile, WritesSectionsInFirstUseOrder) {
  TAEIniFile ini;
  ini.Append("A", "k1", "1");
  ini.Append("B", "k2", "x");
  ini.Append("A", "k3", "");
  EXPECT_EQ(ini.Text(), "[A]\r\nk1=1\r\nk3=\r\n\r\n[B]\r\nk2=x\r\n\r\n");
}

TEST(IniFile, AppendedKeysAreFoundAndTheFirstWins) {
  TAEIniFile ini;
  for (int i = 0; i < 100; ++i) {
    const std::string n = std::to_string(i);
    ini.Append("A", std::string("k").append(n), n);
  }
  ini.Append("a", "K7", "again");
  EXPECT_EQ(ini.Value("A", "k0"), "0");
  EXPECT_EQ(ini.Value("A", "k99"), "99");
  EXPECT_EQ(ini.Value("A", "k7"), "7");
  EXPECT_EQ(ini.Value("A", "k100"), std::nullopt);
  EXPECT_NE(ini.Text().find("k99=99\r\nK7=again\r\n\r\n"), std::string::npos);
}

TEST(IniFile, DecodesByteOrderMarks) {
  EXPECT_EQ(DecodeIniBytes("\xEF\xBB\xBF[A]"), "[A]");
  EXPECT_EQ(DecodeIniBytes(std::string("\xFF\xFE[\0A\0]\0", 8)), "[A]");
  EXPECT_EQ(DecodeIniBytes(std::string("\xFF\xFE\xE9\0", 4)), "\xC3\xA9");
  EXPECT_EQ(DecodeIniBytes("[plain]"), "[plain]");
}

// Names are folded in ASCII only: bytes outside it (here the UTF-8 of Ä and ä) must
// match exactly, and a later duplicate thousands of keys on still loses.
TEST(IniFile, FirstOccurrenceAmongManyKeys) {
  std::string text = "[Agent]\r\n\xC3\x84=upper\r\n\xC3\xA4=lower\r\nChannels=8\r\n";
  for (int i = 0; i < 5000; ++i) text += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  text += "CHANNELS=9\r\n\xC3\xA4=again\r\nkey4999=last\r\nKey5000=new\r\n";
  TAEIniFile ini;
  ini.Parse(text);
  EXPECT_EQ(ini.Value("Agent", "\xC3\x84"), "upper");
  EXPECT_EQ(ini.Value("Agent", "\xC3\xA4"), "lower");
  EXPECT_EQ(ini.Value("AGENT", "channels"), "8");
  EXPECT_EQ(ini.Value("Agent", "KEY4999"), "4999");
  EXPECT_EQ(ini.Value("Agent", "key5000"), "new");
}

// The image keeps the first occurrences in file order, so writing it out again gives
// the file without its duplicates, comments and repeated headings.
TEST(IniFile, ParsedImageWritesBackInFileOrder) {
  TAEIniFile ini;
  ini.Parse("[B]\nz=1\nA=2\nZ=3\n; note\nm\n[a]\nk=v\n[b]\ny=4\n[A]\nK=w\nj=5\n");
  EXPECT_EQ(ini.Text(), "[B]\r\nz=1\r\nA=2\r\nm=\r\n\r\n[a]\r\nk=v\r\n\r\n");
}
