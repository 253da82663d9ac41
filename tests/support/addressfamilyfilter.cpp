// Runs a program with socket() limited to some address families, as a systemd unit's
// RestrictAddressFamilies= limits a service: socket() of any other family fails with
// EAFNOSUPPORT. No systemd runs the tests, so this is how they run a program under the unit's
// own restriction.
//   orvendal_address_family_filter AF_UNIX AF_INET ... -- PROGRAM [ARGUMENT...]
// A test device, not a sandbox: like systemd's filter it leaves socketpair() and descriptors
// received from elsewhere alone, and it does not look at foreign system call architectures.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

struct Family {
    std::string_view name;
    unsigned number;
};

// The families systemd's units name most; a name not here is refused, never ignored.
constexpr Family kFamilies[] = {
    {"AF_UNIX", AF_UNIX},       {"AF_INET", AF_INET},     {"AF_INET6", AF_INET6},
    {"AF_NETLINK", AF_NETLINK}, {"AF_PACKET", AF_PACKET}, {"AF_BLUETOOTH", AF_BLUETOOTH},
    {"AF_ALG", AF_ALG},         {"AF_VSOCK", AF_VSOCK},
};

sock_filter statement(unsigned short code, unsigned value) {
    return BPF_STMT(code, value);
}

sock_filter jumpIfEqual(unsigned value, unsigned char ifEqual, unsigned char otherwise) {
    return BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, ifEqual, otherwise);
}

// socket(family, ...) passes when family is one of `allowed`; every other call passes.
std::vector<sock_filter> socketFilter(const std::vector<unsigned>& allowed) {
    const auto count = static_cast<unsigned char>(allowed.size());
    std::vector<sock_filter> program{
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        // Not socket(): on to the final "allow", past the family tests and the refusal.
        jumpIfEqual(SYS_socket, 0, static_cast<unsigned char>(count + 2)),
        // The family, an int: the argument's low 32 bits.
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
    };
    for (unsigned char i = 0; i < count; ++i) {
        program.push_back(jumpIfEqual(allowed[i], static_cast<unsigned char>(count - i), 0));
    }
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return program;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> allowed;
    int i = 1;
    for (; i < argc && std::string_view(argv[i]) != "--"; ++i) {
        const Family* found = nullptr;
        for (const Family& family : kFamilies) {
            found = family.name == argv[i] ? &family : found;
        }
        if (found == nullptr) {
            std::fprintf(stderr, "address family filter: unknown family %s\n", argv[i]);
            return 2;
        }
        allowed.push_back(found->number);
    }
    if (i + 1 >= argc || allowed.size() > 200) {
        std::fprintf(stderr, "usage: %s FAMILY... -- PROGRAM [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    std::vector<sock_filter> program = socketFilter(allowed);
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    // As the unit's NoNewPrivileges=, which also lets an unprivileged process install a filter.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        std::fprintf(stderr, "address family filter: %s\n", std::strerror(errno));
        return 2;
    }
    ::execv(argv[i + 1], argv + i + 1);
    std::fprintf(stderr, "address family filter: cannot run %s: %s\n", argv[i + 1],
                 std::strerror(errno));
    return 127;
}
