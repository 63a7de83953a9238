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

TEST(IniFile, DecodesByteOrderMarks) {
  EXPECT_EQ(DecodeIniBytes("\xEF\xBB\xBF[A]"), "[A]");
  EXPECT_EQ(DecodeIniBytes(std::string("\xFF\xFE[\0A\0]\0", 8)), "[A]");
  EXPECT_EQ(DecodeIniBytes(std::string("\xFF\xFE\xE9\0", 4)), "\xC3\xA9");
  EXPECT_EQ(DecodeIniBytes("[plain]"), "[plain]");
}
