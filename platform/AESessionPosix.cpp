#include <unistd.h>

#include "AESession.h"

bool IsInteractiveSession() { return false; }

bool IsConsoleVisible() { return ::isatty(STDOUT_FILENO) == 1; }
