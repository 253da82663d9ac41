// Fuzzes the credentials file's lines: whatever the bytes, a file is either refused with a
// message that repeats nothing of it, or gives a password it holds and one-line names.
#include "error.h"
#include "fuzzcheck.h"
#include "smbfile.h"

#include <cstdint>
#include <string>

namespace {

void check(bool condition, const char* what) {
    orvendal::testing::fuzzCheck(condition, what);
}

std::string refusal(const std::string& text, const std::string& path) {
    try {
        orvendal::files::parseCredentials(text, path);
    } catch (const orvendal::Error& e) {
        return e.description();
    }
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orvendal;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = "/run/credenciales";
    files::SmbCredentials credentials;
    try {
        credentials = files::parseCredentials(text, path);
    } catch (const Error& e) {
        // The only two refusals, whatever else the file holds.
        static const std::string kEmpty = refusal("", path);
        static const std::string kNoPassword = refusal("user=a\n", path);
        check(e.description() == kEmpty || e.description() == kNoPassword,
              "a refusal repeats the file");
        return 0;
    }
    check(!credentials.password.empty(), "an empty password accepted");
    check(text.find(credentials.password) != std::string::npos, "a password the file lacks");
    for (const std::string* name : {&credentials.user, &credentials.domain}) {
        check(name->find('\n') == std::string::npos, "a name of two lines");
        check(name->empty() || (name->find_first_of(" \t\r") != 0 &&
                                name->find_last_of(" \t\r") != name->size() - 1),
              "a name with blanks around it");
    }
    check(credentials.password.find('\n') == std::string::npos, "a password of two lines");
    return 0;
}
