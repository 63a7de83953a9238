// Under Wine the device is Wine's ALSA driver reading the same plugin as the Linux
// tests. The plugin's environment (file path, end mode) is the Linux process
// environment that CTest gave Wine; the file is reached through drive Z:, Wine's view
// of the Linux root.
#include <windows.h>

#include <cstdlib>

#include "AETestCapture.h"

void ServeCaptureFile(const TAETempDir&, const std::vector<std::int16_t>& samples, bool errorAtEnd) {
  ASSERT_FALSE(errorAtEnd) << "the end mode is fixed by the test's environment under Wine";
  const char* unixPath = std::getenv("VELKARN_AUDIO_FILE");
  ASSERT_NE(unixPath, nullptr) << "VELKARN_AUDIO_FILE must name the plugin's file";
  std::string path = std::string("Z:") + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  WriteFileBytes(path, std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2));
}

namespace {

// Wine picks its audio driver on the first use of the audio services in a process;
// choose ALSA before any test gets there, so that the plugin is what waveIn records.
class TSelectAlsaDriver : public testing::Environment {
 public:
  void SetUp() override {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Drivers", 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t value[] = L"alsa";
    const LONG res = RegSetValueExW(key, L"Audio", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof(value));
    RegCloseKey(key);
    ASSERT_EQ(res, ERROR_SUCCESS);
  }
};

const testing::Environment* const kSelectAlsa = testing::AddGlobalTestEnvironment(new TSelectAlsaDriver);

}  // namespace
