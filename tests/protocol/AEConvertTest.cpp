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
