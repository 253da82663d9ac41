#include "win32error.h"

#include "text.h"

namespace orvendal::files {
namespace {

// The system's own description of `code`, without its final full stop.
std::string systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string message(text, text + n);
    ::LocalFree(text);
    while (!message.empty() && (message.back() == u'\r' || message.back() == u'\n' ||
                                message.back() == u' ' || message.back() == u'.')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(code) : toUtf8(message);
}

class Win32Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "win32"; }
    std::string message(int code) const override { return systemMessage(static_cast<DWORD>(code)); }
};

} // namespace

const std::error_category& win32Category() noexcept {
    static const Win32Category category;
    return category;
}

Error lastWindowsError(const std::string& context) {
    return windowsError(::GetLastError(), context);
}

Error windowsError(DWORD code, const std::string& context) {
    const std::string message = systemMessage(code);
    return Error(win32Code(code), context.empty() ? message : message + ": " + context);
}

} // namespace orvendal::files
