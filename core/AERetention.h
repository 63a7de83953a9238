// The retention sweep: deletes the hour folders of the hit-file tree once their hour
// lies more than the retention time in the past, then the day folders left empty.
#pragma once

#include <cstdint>
#include <string>

// Walks dataRoot/Ch*/yyyymmdd/hh (masks without regard to case) by folder names only:
// deletes each hour folder whose hour ended strictly before nowFileTime minus
// retentionHours, with everything in it (what cannot be deleted stays), then each day
// folder with a well-formed name that holds no entry at all. retentionHours of zero or
// less does nothing; so does one that would put the cutoff before the year 1. Never
// raises: a folder that vanishes or cannot be listed ends this sweep quietly, and the
// next sweep starts again from the top. Runs on the caller's thread.
void SweepRetention(const std::string& dataRoot, std::int32_t retentionHours, std::int64_t nowFileTime);
