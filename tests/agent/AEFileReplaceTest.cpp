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
  ReplaceFileContents(path, "HEAD", std::string(3, '\0') + "body");
  EXPECT_EQ(ReadFileBytes(path), std::string("HEAD") + std::string(3, '\0') + "body");
  ReplaceFileContents(path, "", "");
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1)
      << "nothing but the file itself is left in the folder";
}

TEST(FileReplace, AFileThatCannotBeCreatedRaisesAndLeavesNothing) {
  TAETempDir temp;
  WriteFileBytes(temp.Path() / "Ch0001", "a file where a folder must be");
  const std::string path = (temp.Path() / "Ch0001" / "00000001.aeh").string();
  EXPECT_THROW(ReplaceFileContents(path, "HEAD", "body"), EAEFileError);
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1);
}
