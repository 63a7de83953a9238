#include "AEConvert.h"

#include <gtest/gtest.h>

#include "AEErrors.h"

struct TIntCase {
  const char* Text;
  std::optional<std::int32_t> Expected;
};

TEST(StrToInt, AcceptsExactlyTheIntegerSyntax) {
  const TIntCase cases[] = {
      {"0", 0},
      {"42", 42},
      {"  42", 42},
      {"+7", 7},
      {"-7", -7},
      {"$1F", 31},
      {"x1f", 31},
      {"X1F", 31},
      {"0x1F", 31},
      {"0X1f", 31},
      {"-$10", -16},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"$FFFFFFFF", -1},
      {"$7FFFFFFF", INT32_MAX},
      {"007", 7},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"$100000000", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"42 ", std::nullopt},
      {"4 2", std::nullopt},
      {"3a", std::nullopt},
      {"abc", std::nullopt},
      {"1e3", std::nullopt},
      {"1.0", std::nullopt},
      {"+-1", std::nullopt},
      {"\t1", std::nullopt},
  };
  for (const TIntCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(TryStrToInt(c.Text), c.Expected);
  }
}

// A sign makes hexadecimal text a signed value, held to the 32-bit range like decimal;
// only unsigned text reads $80000000..$FFFFFFFF as a bit pattern. A doubled sign is no
// number in either routine.
TEST(StrToInt, SignedHexadecimalNeverWraps) {
  const TIntCase cases[] = {
      {"-$FFFFFFFF", std::nullopt},
      {"-x80000001", std::nullopt},
      {"-$FFFFF8A5", std::nullopt},
      {"-0X80000001", std::nullopt},
      {"-$100000000", std::nullopt},
      {"+$80000000", std::nullopt},
      {"+$FFFFFFFF", std::nullopt},
      {"-$80000000", INT32_MIN},
      {"-0x7FFFFFFF", -INT32_MAX},
      {" -$1", -1},
      {"-x0", 0},
      {"+$7FFFFFFF", INT32_MAX},
      {"$80000000", INT32_MIN},
      {"$FFFFF8A5", -1883},
      {"x80000001", -2147483647},
  };
  for (const TIntCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(TryStrToInt(c.Text), c.Expected);
  }
}

TEST(StrToFloat, TakesAtMostOneSign) {
  const struct {
    const char* Text;
    std::optional<double> Expected;
  } cases[] = {
      {"+-8", std::nullopt}, {"+-0.15", std::nullopt}, {"-+8", std::nullopt}, {"++8", std::nullopt},
      {"--8", std::nullopt}, {"+-", std::nullopt},     {"+", std::nullopt},   {"-", std::nullopt},
      {"+8", 8.0},           {"-8", -8.0},             {"+0.15", 0.15},       {"-0.15", -0.15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(TryStrToFloat(c.Text, '.'), c.Expected);
  }
}

TEST(StrToInt, StrictFormRaisesWithThePiece) {
  EXPECT_EQ(StrToInt("$10"), 16);
  try {
    StrToInt("3a");
    FAIL() << "no error";
  } catch (const EAEConvertError& e) {
    EXPECT_STREQ(e.what(), "'3a' is not a valid integer value");
  }
}

TEST(StrToFloat, UsesTheGivenDecimalSeparator) {
  EXPECT_EQ(TryStrToFloat("2.5", '.'), 2.5);
  EXPECT_EQ(TryStrToFloat("2,5", ','), 2.5);
  EXPECT_EQ(TryStrToFloat("2.5", ','), std::nullopt);
  EXPECT_EQ(TryStrToFloat("2,5", '.'), std::nullopt);
  EXPECT_EQ(TryStrToFloat("-1e3", '.'), -1000.0);
  EXPECT_EQ(TryStrToFloat("+4", '.'), 4.0);
  EXPECT_EQ(TryStrToFloat("fast", '.'), std::nullopt);
  EXPECT_EQ(TryStrToFloat("", '.'), std::nullopt);
  EXPECT_EQ(TryStrToFloat("1.5x", '.'), std::nullopt);
  EXPECT_EQ(TryStrToFloat("inf", '.'), std::nullopt);
}

TEST(Utf8, TellsWellFormedText) {
  const struct {
    const char* Name;
    std::string Bytes;
    bool WellFormed;
  } cases[] = {
      {"empty", "", true},
      {"ASCII", "User=agent7\r\n", true},
      {"two bytes", "\xC3\xB8", true},
      {"three bytes", "\xE2\x82\xAC", true},
      {"four bytes", "\xF0\x9F\x98\x80", true},
      {"last code point", "\xF4\x8F\xBF\xBF", true},
      {"NUL", std::string("a\0b", 3), true},
      {"Windows-1252 byte", "Agent\xF8" "42", false},
      {"lead byte at the end", "Agent\xC3", false},
      {"three-byte form cut short", "\xE2\x82", false},
      {"stray continuation", "\x80", false},
      {"lead byte then ASCII", "\xC3\x41", false},
      {"overlong two bytes", "\xC0\xAF", false},
      {"overlong three bytes", "\xE0\x80\xAF", false},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", false},
      {"F5 lead", "\xF5\x80\x80\x80", false},
      {"FF", "\xFF", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(IsWellFormedUtf8(c.Bytes), c.WellFormed);
  }
}

TEST(Windows1252, DecodesEveryRangeOfTheCodePage) {
  const struct {
    unsigned char Byte;
    const char* Utf8;
  } cases[] = {
      {0x41, "A"},          {0x7F, "\x7F"},        {0x80, "\xE2\x82\xAC"}, {0x82, "\xE2\x80\x9A"},
      {0x8C, "\xC5\x92"},   {0x99, "\xE2\x84\xA2"}, {0x9F, "\xC5\xB8"},     {0xA0, "\xC2\xA0"},
      {0xF8, "\xC3\xB8"},   {0xFF, "\xC3\xBF"},
      // The five bytes the code page leaves undefined pass as the C1 controls of the
      // same number, as Windows' own conversion gives them.
      {0x81, "\xC2\x81"},   {0x8D, "\xC2\x8D"},   {0x8F, "\xC2\x8F"},     {0x90, "\xC2\x90"},
      {0x9D, "\xC2\x9D"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Byte));
    EXPECT_EQ(Windows1252ToUtf8(std::string(1, static_cast<char>(c.Byte))), c.Utf8);
  }
  EXPECT_EQ(Windows1252ToUtf8(std::string("[A]\r\nUser=Agent\xF8" "42\x80\0", 20)),
            std::string("[A]\r\nUser=Agent\xC3\xB8" "42\xE2\x82\xAC\0", 23));
}

TEST(FloatToStr, ShortestGeneralFormUpTo15Digits) {
  EXPECT_EQ(FloatToStr(5.0, '.'), "5");
  EXPECT_EQ(FloatToStr(0.15, '.'), "0.15");
  EXPECT_EQ(FloatToStr(0.15, ','), "0,15");
  EXPECT_EQ(FloatToStr(0.1 + 0.2, '.'), "0.3");
  EXPECT_EQ(FloatToStr(-20.0, '.'), "-20");
  EXPECT_EQ(FloatToStr(2000000.0, '.'), "2000000");
}

TEST(Text, TrimAndCase) {
  EXPECT_EQ(Trim("\t AUDIO \r"), "AUDIO");
  EXPECT_EQ(LowerAscii("MqTT"), "mqtt");
  EXPECT_TRUE(StartsWithNoCase("HTTPS://x", "https://"));
  EXPECT_FALSE(StartsWithNoCase("http://x", "https://"));
}
