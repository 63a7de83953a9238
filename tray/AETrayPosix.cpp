// No tray outside Windows: the tray reports at once that it has no window, so an owner
// that asks anyway prints its usual "could not be created" line and runs on.
#include <cerrno>

#include "AETray.h"

struct TAETray::TState {};

TAETray::TAETray(std::string, TAETrayStatus, TProc, std::string, std::chrono::milliseconds) {}

TAETray::~TAETray() = default;

std::uintptr_t TAETray::Wnd() const { return 0; }

std::uint32_t TAETray::LastError() const { return ENOTSUP; }

bool TAETray::Close(std::chrono::milliseconds) { return true; }
