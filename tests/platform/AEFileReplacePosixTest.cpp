// A write that fails half way (the file-size limit stops the body) must leave neither
// the hit file nor its temporary behind, and must not touch an older file's bytes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "AEErrors.h"
#include "AEFileReplace.h"
#include "common/AETestTemp.h"

namespace fs = std::filesystem;

TEST(FileReplacePosix, AWriteCutShortLeavesNoPartialFile) {
  TAETempDir temp;
  const std::string path = temp.Str("00000001.aeh");
  const std::string older = "an older hit file";
  WriteFileBytes(path, older);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* oldHandler = signal(SIGXFSZ, SIG_IGN);  // the write then fails with EFBIG
  rlimit small = saved;
  small.rlim_cur = 200;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool raised = false;
  try {
    (void)ReplaceFileContents(path, std::string(88, 'h'), std::string(8192, 's'));
  } catch (const EAEFileError&) {
    raised = true;
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(raised);
  EXPECT_EQ(ReadFileBytes(path), older) << "readers still see the whole older file";
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1);
}
