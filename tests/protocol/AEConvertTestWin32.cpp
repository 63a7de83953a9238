#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "AEConvert.h"

// Our table of code page 1252 against the system's own, byte by byte.
TEST(Windows1252, AgreesWithTheSystemConversion) {
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const char in = static_cast<char>(b);
    wchar_t wide[2] = {};
    ASSERT_EQ(MultiByteToWideChar(1252, 0, &in, 1, wide, 2), 1);
    char utf8[8] = {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, 1, utf8, sizeof utf8, nullptr, nullptr);
    ASSERT_GT(n, 0);
    EXPECT_EQ(Windows1252ToUtf8(std::string(1, in)), std::string(utf8, static_cast<std::size_t>(n)));
  }
}
