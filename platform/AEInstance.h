// One copy per computer: a machine-wide lock named after the product, held until the
// process ends (the kernel frees it when the process dies, also after a crash).
#pragma once

#include <string>

enum class TAEInstanceLock {
  Acquired,     // this copy holds the lock
  HeldElsewhere,  // another copy holds it
  Unavailable,  // the lock could not be made; this copy runs unprotected
};

// Windows: the named mutex "Global\<name>". POSIX: an flock on "<name>.lock" in the
// temp folder ($TMPDIR, else /tmp). Call once, on the main thread.
TAEInstanceLock AcquireInstanceLock(const std::string& name);
