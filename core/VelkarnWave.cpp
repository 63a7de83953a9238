// The wave server (udp mode) and the retention sweep of old hour folders. Both are
// built as pieces of their own and wired in here; until then the agent calls these at
// their places in Start, Stop and the generator loop, and they do nothing.
#include "VelkarnCore.h"

void TVelkarn::ActivateWaveServer() {}

void TVelkarn::DeactivateWaveServer() {}

void TVelkarn::SweepRetention() {}
