#pragma once

namespace orvendal::files {

// Called once the process holds a password (read from a credentials file or answered to the
// prompt): a core dump would write it to disk, where whoever reads dumps finds it. The process
// is marked non-dumpable; that also makes its /proc files root's, so another user's debugger or
// `cat /proc/PID/environ` cannot read its memory either. Programs it starts are dumpable again.
void keepSecretsOutOfCoreDumps();

} // namespace orvendal::files
