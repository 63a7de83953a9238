// A machine without a recording device: an empty list, and an open that fails with
// the platform's number and text.
#include <gtest/gtest.h>

#include <regex>

#include "AEAudioIn.h"
#include "AEErrors.h"

namespace {

TEST(AudioInWithoutDevice, ListsNothingAndEveryOpenFails) {
  EXPECT_TRUE(TAEAudioIn::DeviceNames().empty());
  for (const std::int32_t id : {-1, 0, 3}) {
    SCOPED_TRACE(id);
    try {
      TAEAudioIn in(id, 48000, 1024, 16);
      ADD_FAILURE() << "opened a device that does not exist";
    } catch (const EAEError& e) {
      EXPECT_TRUE(std::regex_match(e.what(), std::regex(R"(Audio input: open failed \(-?[1-9][0-9]*\) \S.*)")))
          << e.what();
    }
  }
}

}  // namespace
