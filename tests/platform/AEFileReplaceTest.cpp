// Whole-file replacement of hit files: readers see old, none or whole new, never a part.
#include <gtest/gtest.h>

#include <filesystem>

#include "AEErrors.h"
#include "AEFileReplace.h"
#include "common/AETestTemp.h"

namespace fs = std::filesystem;

TEST(FileReplace, WritesHeadThenBodyAndReplacesAnOlderFile) {
  TAETempDir temp;
  const std::string path = temp.Str("00000001.aeh");
  WriteFileBytes(path, std::string(5000, 'o'));
  EXPECT_TRUE(ReplaceFileContents(path, "HEAD", std::string(3, '\0') + "body"));
  EXPECT_EQ(ReadFileBytes(path), std::string("HEAD") + std::string(3, '\0') + "body");
  EXPECT_TRUE(ReplaceFileContents(path, "", ""));
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1)
      << "nothing but the file itself is left in the folder";
}

TEST(FileReplace, AFileThatCannotBeCreatedRaisesAndLeavesNothing) {
  TAETempDir temp;
  WriteFileBytes(temp.Path() / "Ch0001", "a file where a folder must be");
  const std::string path = (temp.Path() / "Ch0001" / "00000001.aeh").string();
  EXPECT_THROW((void)ReplaceFileContents(path, "HEAD", "body"), EAEFileError);
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1);
}

TEST(FileReplace, AMissingFolderIsReportedAndNothingIsMade) {
  TAETempDir temp;
  const fs::path folder = temp.Path() / "Ch0001" / "2026-12-10" / "20";
  const std::string path = (folder / "00000001.aeh").string();
  EXPECT_FALSE(ReplaceFileContents(path, "HEAD", "body"));
  EXPECT_FALSE(fs::exists(temp.Path() / "Ch0001")) << "no folder made by the file layer";
  fs::create_directories(folder);
  EXPECT_TRUE(ReplaceFileContents(path, "HEAD", "body"));
  EXPECT_EQ(ReadFileBytes(path), "HEADbody");
}
