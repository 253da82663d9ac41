#include "smbclient.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace orvendal::files::smb {
namespace {

// libsmbclient lists the network interfaces while it starts (through an AF_NETLINK socket, as
// getifaddrs() does) and, when it finds none that is up with an address and smb.conf has no
// "interfaces" line, prints a line and calls exit(1): the program would end without a word of
// ours. The same question asked first turns that into an error the caller reports. It is asked
// whatever smb.conf says: a server is reached only through an interface that is up, so a
// process that sees none has no use for the client anyway.
void requireNetworkInterfaces() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        const int err = errno;
        throw Error(errnoCode(err),
                    "no se puede iniciar el cliente SMB: no se pueden consultar las "
                    "interfaces de red del equipo (" +
                        std::string(std::strerror(err)) +
                        "); si se ejecuta como servicio, su RestrictAddressFamilies= debe "
                        "permitir AF_NETLINK");
    }
    bool usable = false;
    for (const ifaddrs* entry = list; entry != nullptr && !usable; entry = entry->ifa_next) {
        const sockaddr* address = entry->ifa_addr;
        const bool up = (entry->ifa_flags & IFF_UP) != 0 && entry->ifa_netmask != nullptr;
        if (up && address != nullptr && address->sa_family == AF_INET) {
            usable = true;
        } else if (up && address != nullptr && address->sa_family == AF_INET6) {
            const auto& in6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
            usable = !IN6_IS_ADDR_LINKLOCAL(&in6);
        }
    }
    ::freeifaddrs(list);
    if (!usable) {
        throw Error(errnoCode(ENETDOWN),
                    "no se puede iniciar el cliente SMB: el equipo no tiene ninguna "
                    "interfaz de red activa con dirección");
    }
}

} // namespace

LoginKey loginKey(const SmbLocation& location, const SmbCredentials& credentials) {
    return {serverKey(location), lowered(location.share), lowered(credentials.domain),
            lowered(credentials.user), credentials.password};
}

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileStamp{st.st_dev, st.st_ino, st.st_size,
                     st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec,
                     st.st_ctim.tv_sec * 1'000'000'000LL + st.st_ctim.tv_nsec};
}

SmbClient& SmbClient::instance() {
    static SmbClient client;
    return client;
}

SmbClient::~SmbClient() {
    if (context_ != nullptr) {
        // Freeing closes every file and connection with requests, which a silent server
        // would make wait; at exit the server does the same when the connections end.
        for (const auto& [server, port] : ports_) {
            shutDownConnections(server, port);
        }
        smbc_free_context(context_, 1);
    }
}

void SmbClient::start() {
    // A connection the server broke, or one the watchdog shut, must come back from a write as
    // EPIPE, an outage, not end the whole program with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // Before the first context: making it loads smb.conf and lists the interfaces.
    requireNetworkInterfaces();
    SMBCCTX* context = smbc_new_context();
    if (context == nullptr) {
        throw Error(errnoCode(errno), "no se puede crear el cliente SMB");
    }
    smbc_setOptionUserData(context, this);
    smbc_setFunctionAuthDataWithContext(context, &SmbClient::authenticate);
    // A Kerberos ticket of the user's is used where there is one; otherwise the user and the
    // password from the URL, the credentials file or the prompt.
    smbc_setOptionUseKerberos(context, 1);
    smbc_setOptionFallbackAfterKerberos(context, 1);
    // A refused password must be told, not replaced by an anonymous session that may read the
    // file as a guest or fail later as a refused share.
    smbc_setOptionNoAutoAnonymousLogin(context, 1);
    // Workstations write and lock the file while we read it. libsmbclient has no mode that
    // shares delete too: while the file is open here, a rename or delete of it is refused.
    smbc_setOptionOpenShareMode(context, SMBC_SHAREMODE_DENY_NONE);
    smbc_setTimeout(context, kTimeoutMs);
    if (smbc_init_context(context) == nullptr) {
        const int err = errno;
        smbc_free_context(context, 0);
        throw Error(errnoCode(err), "no se puede iniciar el cliente SMB");
    }
    context_ = context;
}

void SmbClient::authenticate(SMBCCTX* context, const char*, const char*, char* workgroup,
                             int workgroupLength, char* user, int userLength, char* password,
                             int passwordLength) {
    auto* client = static_cast<SmbClient*>(smbc_getOptionUserData(context));
    const SmbCredentials& given = client->current;
    if (!given.domain.empty()) {
        std::snprintf(workgroup, static_cast<std::size_t>(workgroupLength), "%s",
                      given.domain.c_str());
    }
    if (!given.user.empty()) {
        std::snprintf(user, static_cast<std::size_t>(userLength), "%s", given.user.c_str());
    }
    std::snprintf(password, static_cast<std::size_t>(passwordLength), "%s", given.password.c_str());
    // The names libsmbclient caches the connection under.
    client->usedWorkgroup_ = workgroup;
    client->usedUser_ = user;
}

SmbCredentials credentialsFor(const SmbClient& client, const SmbLocation& location) {
    SmbCredentials given{location.domain, location.user, {}};
    // A file's password is its user's: a URL that names another user does not get it. User
    // names are compared as Windows does, ignoring case.
    const auto& file = client.fileCredentials;
    if (file &&
        (given.user.empty() || file->user.empty() || equalIgnoringCase(file->user, given.user))) {
        given.domain = given.domain.empty() ? file->domain : given.domain;
        given.user = given.user.empty() ? file->user : given.user;
        given.password = file->password;
    }
    if (given.password.empty()) {
        const auto answer = client.answers.find({serverKey(location), lowered(given.user)});
        if (answer != client.answers.end() && answer->second) {
            given.password = *answer->second;
        }
    }
    return given;
}

} // namespace orvendal::files::smb
