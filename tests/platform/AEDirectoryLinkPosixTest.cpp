// Links inside a deleted tree: removed as themselves, never followed.
#include <gtest/gtest.h>

#include <filesystem>

#include "AEDirectory.h"
#include "common/AETestTemp.h"

namespace fs = std::filesystem;

TEST(DirectoryLinks, DeletionRemovesLinksWithoutFollowingThem) {
  TAETempDir t;
  const fs::path outside = t.Path() / "outside";
  fs::create_directories(outside / "sub");
  WriteFileBytes(outside / "precious", "keep");
  WriteFileBytes(outside / "sub" / "more", "keep");
  const fs::path hour = t.Path() / "Ch0001" / "20260101" / "05";
  fs::create_directories(hour);
  fs::create_directory_symlink(outside, hour / "linkToFolder");
  fs::create_symlink(outside / "precious", hour / "linkToFile");
  fs::create_directory_symlink(outside, t.Path() / "Ch0001" / "20260101" / "06");

  EXPECT_TRUE(ListFolders((t.Path() / "Ch0001" / "20260101").string(), "*") == std::vector<std::string>{"05"});
  EXPECT_TRUE(ListFiles(hour.string(), "*").empty()) << "links are not files";
  DeleteFolderTree(hour.string());
  EXPECT_FALSE(fs::exists(hour));
  EXPECT_EQ(ReadFileBytes(outside / "precious"), "keep");
  EXPECT_EQ(ReadFileBytes(outside / "sub" / "more"), "keep");
}
