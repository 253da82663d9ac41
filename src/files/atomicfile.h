#pragma once

#include <string>
#include <string_view>

namespace orvendal::files {

// Replaces the file `path` with `text` in one step, as a reader (a metrics collector) must see
// it: written to a new temporary file of an unguessable name in the same folder, flushed to
// disk, then renamed over `path`. The temporary is created exclusively and never through a link;
// the rename replaces whatever entry `path` is without following it. A `path` that is not
// missing or a regular file of this user (requirePlainFileOrNothing) is refused, not replaced.
// The temporary's name begins with a dot and ends in ".tmp", which collectors skip. Throws Error.
void writeFileAtomically(const std::string& path, std::string_view text);

// A new name for writeFileAtomically's temporary: ".NAME.0123456789abcdef.tmp" in the folder of
// `path`, whose last `separators` character ends its folder. Random, so that nobody can plant a
// link or a file where the next temporary will be (the exclusive create would refuse it anyway).
std::string temporaryBeside(const std::string& path, std::string_view separators);

} // namespace orvendal::files
