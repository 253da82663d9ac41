// Look-ups meeting faults that no real driver or server can be made to produce on demand: memory
// running out, and a driver manager that refuses to disconnect a connection whose server is gone.
// Both are injected at the boundary the program really depends on (operator new, SQLDisconnect)
// and in this test program only.
#include "userdirectory.h"

#include "odbcsandbox.h"
#include "text.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sql.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {

std::atomic<bool> failNextAllocation{false};
std::atomic<bool> refuseDisconnects{false};
std::atomic<int> disconnectsRefused{0};

void* allocate(std::size_t size) {
    if (failNextAllocation.exchange(false))
        throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

} // namespace

// Every form of new and delete that a replacement of plain new must come with, so that all of
// them pair malloc with free (AddressSanitizer checks that pairing).
void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

// Takes the place of the driver manager's SQLDisconnect for the program's calls; while refusing,
// it fails without a diagnostic record and leaves the connection as it was.
extern "C" SQLRETURN SQLDisconnect(SQLHDBC dbc) {
    if (refuseDisconnects) {
        ++disconnectsRefused;
        return SQL_ERROR;
    }
    using Disconnect = SQLRETURN (*)(SQLHDBC);
    static const auto real = reinterpret_cast<Disconnect>(::dlsym(RTLD_NEXT, "SQLDisconnect"));
    return real(dbc);
}

namespace orvendal::lookup {
namespace {

using testing::Backend;
using testing::OdbcSandbox;
using testing::PgTestServer;

struct Lookup {
    std::u16string answer;
    std::vector<std::u16string> errors;
};

Lookup lookUp(UserDirectory& users, std::int32_t code) {
    Lookup got;
    got.answer = users.LookupUserName(
        code, [&got](const std::u16string& text) { got.errors.push_back(text); });
    return got;
}

TEST(UserDirectoryFaults, MemoryRunningOutIsShownAndTheNextLookupWorks) {
    OdbcSandbox db(Backend::SQLite);
    db.resetTable();
    db.exec("INSERT INTO GenUsu VALUES (7, 'Ana');");
    UserDirectory users;
    ASSERT_EQ(lookUp(users, 7).answer, u"7-Ana");

    Lookup failed;
    failNextAllocation = true;
    EXPECT_NO_THROW(failed = lookUp(users, 7));
    failNextAllocation = false;
    EXPECT_EQ(failed.answer, u"");
    ASSERT_EQ(failed.errors.size(), 1u);
    EXPECT_EQ(failed.errors[0].substr(0, 3), u"12.") << toUtf8(failed.errors[0]);

    const Lookup next = lookUp(users, 7);
    EXPECT_EQ(next.answer, u"7-Ana");
    EXPECT_TRUE(next.errors.empty());
}

struct StopRefusing {
    ~StopRefusing() { refuseDisconnects = false; }
};

TEST(UserDirectoryFaults, ADisconnectRefusedAfterARestartStillConnectsAgain) {
    OdbcSandbox db(Backend::PostgreSQL);
    db.resetTable();
    db.exec("INSERT INTO GenUsu VALUES (7, 'Ana');");
    testing::PgServerBackUp up;
    StopRefusing stop;
    UserDirectory users;
    ASSERT_EQ(lookUp(users, 7).answer, u"7-Ana");
    PgTestServer::control("restart");
    const Lookup lost = lookUp(users, 7);
    ASSERT_EQ(lost.errors.size(), 1u);
    EXPECT_EQ(lost.errors[0].substr(0, 9), u"35.[57P01") << toUtf8(lost.errors[0]);

    refuseDisconnects = true;
    for (int i = 0; i < 2; ++i) {
        const Lookup again = lookUp(users, 7);
        EXPECT_EQ(again.answer, u"7-Ana");
        EXPECT_TRUE(again.errors.empty()) << toUtf8(again.errors.front());
    }
    EXPECT_GE(disconnectsRefused, 1);
}

} // namespace
} // namespace orvendal::lookup
