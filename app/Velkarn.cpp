// Program entry. Until the agent exists it loads (and on first start writes) the
// configuration and reports it.
#include <cstdio>
#include <exception>

#include "AEErrors.h"
#include "AEFileSystem.h"
#include "AESettings.h"

int main() {
  try {
    TAESettings settings;
    settings.Load(ExecutablePathWithExtension(".ini"));
    std::printf("Velkarn: agent %u, %d channels, data root %s\r\n", settings.AgentId, settings.Channels,
                settings.DataRoot.c_str());
    return 0;
  } catch (const std::exception& e) {
    std::printf("%s\r\n", DescribeException(e).c_str());
    return 1;
  }
}
