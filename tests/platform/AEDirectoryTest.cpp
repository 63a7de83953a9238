// Folder listing and deletion on real folders in a temp tree.
#include "AEDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "AEErrors.h"
#include "AEUndeletableFile.h"
#include "common/AETestTemp.h"

namespace fs = std::filesystem;

namespace {

struct TMaskCase {
  const char* Name;
  const char* Mask;
  bool Matches;
};

TEST(Directory, MatchesMaskWithoutRegardToCase) {
  const TMaskCase cases[] = {
      {"Ch0001", "Ch*", true},   {"ch0001", "Ch*", true},   {"CHART", "Ch*", true},   {"Ch", "Ch*", true},
      {"Data", "Ch*", false},    {"xCh1", "Ch*", false},    {"C", "Ch*", false},      {"", "*", true},
      {"anything", "*", true},   {"07", "??", true},        {"7", "??", false},       {"abc", "a?c", true},
      {"abbbc", "a*c", true},    {"abcd", "a*c", false},    {"aXbYc", "*b*c", true},  {"ab", "a*b*", true},
      {"Ch0001.aeh", "*.AEH", true}, {"x.aehx", "*.aeh", false},
  };
  for (const TMaskCase& c : cases)
    EXPECT_EQ(MatchesMask(c.Name, c.Mask), c.Matches) << c.Name << " against " << c.Mask;
}

TEST(Directory, ListsOnlyFoldersMatchingTheMask) {
  TAETempDir t;
  for (const char* d : {"Ch0001", "ch0002", "CHART", "Data"}) fs::create_directory(t.Path() / d);
  WriteFileBytes(t.Path() / "Ch0003", "a file, not a folder");
  std::vector<std::string> names = ListFolders(t.Str(), "Ch*");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"CHART", "Ch0001", "ch0002"}));
  EXPECT_EQ(ListFolders(t.Str(), "*").size(), 4u);
  EXPECT_TRUE(ListFolders(t.Str("Data"), "*").empty());
}

TEST(Directory, ListsOnlyFilesMatchingTheMask) {
  TAETempDir t;
  for (const char* f : {"00000007.aeh", "00000008.AEH", "x.aehx", "00000009.aeh.bak", "notes.txt"})
    WriteFileBytes(t.Path() / f, "x");
  fs::create_directory(t.Path() / "00000010.aeh");  // a folder, not a file
  std::vector<std::string> names = ListFiles(t.Str(), "*.aeh");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"00000007.aeh", "00000008.AEH"}));
  EXPECT_EQ(ListFiles(t.Str(), "*").size(), 5u);
  EXPECT_TRUE(ListFiles(t.Str("00000010.aeh"), "*").empty());
}

TEST(Directory, ListingOrTestingAMissingFolderRaises) {
  TAETempDir t;
  WriteFileBytes(t.Path() / "file", "x");
  for (const std::string& p : {t.Str("missing"), t.Str("file")}) {
    SCOPED_TRACE(p);
    EXPECT_THROW(ListFolders(p, "*"), EAEFileError);
    EXPECT_THROW(ListFiles(p, "*"), EAEFileError);
    EXPECT_THROW(IsFolderEmpty(p), EAEFileError);
    EXPECT_THROW(DeleteFolderTree(p), EAEFileError);
  }
  EXPECT_TRUE(fs::exists(t.Path() / "file"));
}

TEST(Directory, EmptyMeansNoEntryAtAll) {
  TAETempDir t;
  fs::create_directories(t.Path() / "empty");
  fs::create_directories(t.Path() / "withFolder" / "sub");
  fs::create_directories(t.Path() / "withFile");
  WriteFileBytes(t.Path() / "withFile" / "x", "");
  EXPECT_TRUE(IsFolderEmpty(t.Str("empty")));
  EXPECT_FALSE(IsFolderEmpty(t.Str("withFolder")));
  EXPECT_FALSE(IsFolderEmpty(t.Str("withFile")));

  EXPECT_FALSE(DeleteEmptyFolder(t.Str("withFile")));
  EXPECT_TRUE(fs::exists(t.Path() / "withFile" / "x"));
  EXPECT_TRUE(DeleteEmptyFolder(t.Str("empty")));
  EXPECT_FALSE(fs::exists(t.Path() / "empty"));
  EXPECT_FALSE(DeleteEmptyFolder(t.Str("empty")));
}

TEST(Directory, DeletesATreeWithReadOnlyEntries) {
  TAETempDir t;
  const fs::path root = t.Path() / "hour";
  fs::create_directories(root / "a" / "b" / "c");
  WriteFileBytes(root / "00000001.aeh", "hit");
  WriteFileBytes(root / "a" / "b" / "c" / "deep", "deep");
  WriteFileBytes(root / "a" / "readonly", "ro");
  fs::permissions(root / "a" / "readonly", fs::perms::owner_read);
  fs::permissions(root / "00000001.aeh", fs::perms::owner_read | fs::perms::group_read);
  fs::permissions(root / "a" / "b", fs::perms::owner_read | fs::perms::owner_exec);  // no write right
  WriteFileBytes(t.Path() / "beside", "stays");

  DeleteFolderTree(root.string());
  EXPECT_FALSE(fs::exists(root));
  EXPECT_TRUE(fs::exists(t.Path() / "beside"));
}

TEST(Directory, LeavesWhatCannotBeDeletedAndGoesOn) {
  TAETempDir t;
  const fs::path root = t.Path() / "hour";
  fs::create_directories(root / "kept");
  fs::create_directories(root / "gone1" / "inner");
  fs::create_directories(root / "gone2");
  for (int i = 0; i < 20; ++i) WriteFileBytes(root / std::string("f").append(std::to_string(i)), "x");
  WriteFileBytes(root / "gone1" / "inner" / "x", "x");
  {
    TAEUndeletableFile stuck((root / "kept" / "00000001.aeh").string());
    EXPECT_NO_THROW(DeleteFolderTree(root.string()));
    EXPECT_TRUE(fs::exists(root / "kept" / "00000001.aeh"));
    // Everything else went, whichever order the listing gave.
    std::vector<std::string> left;
    for (const auto& e : fs::recursive_directory_iterator(root)) left.push_back(fs::relative(e.path(), root).generic_string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"kept", "kept/00000001.aeh"}));
  }
  DeleteFolderTree(root.string());  // once it can go, it goes
  EXPECT_FALSE(fs::exists(root));
}

}  // namespace
