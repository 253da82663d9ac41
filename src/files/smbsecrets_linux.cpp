#include "smbsecrets.h"

#include <sys/prctl.h>

namespace orvendal::files {

void keepSecretsOutOfCoreDumps() {
    // It cannot fail with these arguments; a kernel that refused it would still leave the
    // service's LimitCORE=0 in place.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

} // namespace orvendal::files
