// A reader that holds a hit file open (as the wave server does while it sends one)
// makes its replacement fail: the reader's bytes stay whole and no temporary is left.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "AEErrors.h"
#include "AEFileReplace.h"
#include "common/AETestTemp.h"

namespace fs = std::filesystem;

TEST(FileReplaceWin32, AnOpenReaderBlocksTheReplacementCleanly) {
  TAETempDir temp;
  const fs::path path = temp.Path() / "00000001.aeh";
  WriteFileBytes(path, "the older hit file");
  const HANDLE reader = CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_THROW((void)ReplaceFileContents(path.string(), "HEAD", "body"), EAEFileError);
  CloseHandle(reader);
  EXPECT_EQ(ReadFileBytes(path), "the older hit file");
  EXPECT_FALSE(fs::exists(path.string() + ".tmp"));
  EXPECT_TRUE(ReplaceFileContents(path.string(), "HEAD", "body"));
  EXPECT_EQ(ReadFileBytes(path), "HEADbody");
}
