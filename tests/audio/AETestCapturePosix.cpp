#include <stdlib.h>

#include "AETestCapture.h"

void ServeCaptureFile(const TAETempDir& dir, const std::vector<std::int16_t>& samples, bool errorAtEnd) {
  const std::string path = dir.Str("capture.raw");
  WriteFileBytes(path, std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2));
  // The plugin's configuration reads both at every open.
  ASSERT_EQ(setenv("VELKARN_AUDIO_FILE", path.c_str(), 1), 0);
  ASSERT_EQ(setenv("VELKARN_AUDIO_END", errorAtEnd ? "error" : "silence", 1), 0);
}
