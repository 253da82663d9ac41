// A workstation's lock, held in a process of its own: locks FILE's bytes [START, START + LENGTH)
// with LockFileEx, prints "locked" and holds the lock until its standard input ends. Prints
// "refused" and exits 1 when another process holds a conflicting lock; other failures exit 2.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: orvendal_lock_holder FILE START LENGTH\n", stderr);
        return 2;
    }
    const HANDLE file = ::CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("error %lu\n", ::GetLastError());
        return 2;
    }
    const unsigned long long start = std::wcstoull(argv[2], nullptr, 10);
    const unsigned long long length = std::wcstoull(argv[3], nullptr, 10);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(start);
    at.OffsetHigh = static_cast<DWORD>(start >> 32);
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                      static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &at)) {
        const DWORD code = ::GetLastError();
        std::puts(code == ERROR_LOCK_VIOLATION ? "refused" : "error");
        return code == ERROR_LOCK_VIOLATION ? 1 : 2;
    }
    std::puts("locked");
    std::fflush(stdout);
    char discard[256];
    DWORD got = 0;
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    while (::ReadFile(input, discard, sizeof discard, &got, nullptr) && got > 0) {
    }
    ::CloseHandle(file); // releases the lock
    return 0;
}
