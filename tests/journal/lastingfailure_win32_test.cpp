#include "journalkeeper.h"
#include "win32error.h"

#include <gtest/gtest.h>

namespace orvendal::journal {
namespace {

// Windows numbers its errors in a range of its own: ERROR_BAD_FORMAT is 11 as EAGAIN is, and
// ERROR_INVALID_MESSAGE 1002 as our own "no es un fichero normal"; neither is that failure.
TEST(LastingFailureOnWindows, WindowsNumbersAreNeverTakenForErrnoOrOurOwn) {
    const struct {
        Error error;
        bool lasting;
    } cases[] = {
        {files::windowsError(ERROR_BAD_FORMAT), false},
        {files::windowsError(ERROR_INVALID_MESSAGE), false},
        {files::windowsError(ERROR_PATH_NOT_FOUND), true},
        {Error(errnoCode(EAGAIN), "otro vigilante"), true},
        {Error::of(errc::NotRegularFile), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lastingFailure(c.error), c.lasting)
            << c.error.code().category().name() << ' ' << c.error.text('-');
    }
}

} // namespace
} // namespace orvendal::journal
