// Event lines of the agent's threads: the local time "hh:nn:ss" (the locale's time
// separator) followed directly by a text that begins with two blanks.
#pragma once

#include <string>

std::string EventTime();
