#include "smbclientlibrary.h"

#include "error.h"

#include <cerrno>
#include <dlfcn.h>
#include <libsmbclient.h>
#include <string>
#include <type_traits>

// Every libsmbclient function that the SMB code calls; each has its forwarder at the end.
#define ORVENDAL_SMBCLIENT_FUNCTIONS(X)                                                            \
    X(smbc_new_context)                                                                            \
    X(smbc_init_context)                                                                           \
    X(smbc_free_context)                                                                           \
    X(smbc_getUser)                                                                                \
    X(smbc_setTimeout)                                                                             \
    X(smbc_getOptionUserData)                                                                      \
    X(smbc_setOptionUserData)                                                                      \
    X(smbc_setOptionUseKerberos)                                                                   \
    X(smbc_setOptionFallbackAfterKerberos)                                                         \
    X(smbc_setOptionOpenShareMode)                                                                 \
    X(smbc_setOptionNoAutoAnonymousLogin)                                                          \
    X(smbc_setFunctionAuthDataWithContext)                                                         \
    X(smbc_getFunctionPurgeCachedServers)                                                          \
    X(smbc_getFunctionGetCachedServer)                                                             \
    X(smbc_getFunctionOpen)                                                                        \
    X(smbc_getFunctionRead)                                                                        \
    X(smbc_getFunctionLseek)                                                                       \
    X(smbc_getFunctionStat)                                                                        \
    X(smbc_getFunctionFstat)                                                                       \
    X(smbc_getFunctionClose)

namespace orvendal::files {
namespace {

struct SmbClientFunctions {
#define ORVENDAL_SMBCLIENT_POINTER(name) decltype(&::name) name;
    ORVENDAL_SMBCLIENT_FUNCTIONS(ORVENDAL_SMBCLIENT_POINTER)
#undef ORVENDAL_SMBCLIENT_POINTER
};

Error unavailable(const std::string& why) {
    return Error(errnoCode(ELIBACC),
                 "no se puede cargar libsmbclient, que hace falta para las rutas smb:// (" + why +
                     "): instale el paquete libsmbclient");
}

SmbClientFunctions load() {
    // RTLD_NOW: a library that lacks one of its own dependencies fails here, at the first smb://
    // path, and not later in the middle of a call.
    void* library = ::dlopen("libsmbclient.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        throw unavailable(why != nullptr ? why : "libsmbclient.so.0");
    }
    SmbClientFunctions functions{};
    std::string missing;
    const auto resolve = [&](auto& pointer, const char* name) {
        void* symbol = ::dlsym(library, name);
        if (symbol == nullptr && missing.empty()) {
            missing = name;
        }
        pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(symbol);
    };
#define ORVENDAL_SMBCLIENT_RESOLVE(name) resolve(functions.name, #name);
    ORVENDAL_SMBCLIENT_FUNCTIONS(ORVENDAL_SMBCLIENT_RESOLVE)
#undef ORVENDAL_SMBCLIENT_RESOLVE
    if (!missing.empty()) {
        ::dlclose(library);
        throw unavailable("le falta la función " + missing);
    }
    // Never closed: the SMB client's context lives until exit and is freed then through these.
    return functions;
}

// A load that throws leaves the static uninitialised, so a later smb:// path tries again (once
// the package is installed); threads that come during a load wait for it.
const SmbClientFunctions& smbClientFunctions() {
    static const SmbClientFunctions functions = load();
    return functions;
}

} // namespace

void requireSmbClientLibrary() {
    smbClientFunctions();
}

} // namespace orvendal::files

// The forwarders, declared by libsmbclient.h. The first call of the SMB code is always
// smbc_new_context(), from our own code, so a failed load throws there and never inside one of
// libsmbclient's callbacks.
extern "C" {
using orvendal::files::smbClientFunctions;

SMBCCTX* smbc_new_context(void) {
    return smbClientFunctions().smbc_new_context();
}
SMBCCTX* smbc_init_context(SMBCCTX* context) {
    return smbClientFunctions().smbc_init_context(context);
}
int smbc_free_context(SMBCCTX* context, int shutdown_ctx) {
    return smbClientFunctions().smbc_free_context(context, shutdown_ctx);
}
const char* smbc_getUser(SMBCCTX* c) {
    return smbClientFunctions().smbc_getUser(c);
}
void smbc_setTimeout(SMBCCTX* c, int timeout) {
    smbClientFunctions().smbc_setTimeout(c, timeout);
}
void* smbc_getOptionUserData(SMBCCTX* c) {
    return smbClientFunctions().smbc_getOptionUserData(c);
}
void smbc_setOptionUserData(SMBCCTX* c, void* user_data) {
    smbClientFunctions().smbc_setOptionUserData(c, user_data);
}
void smbc_setOptionUseKerberos(SMBCCTX* c, smbc_bool b) {
    smbClientFunctions().smbc_setOptionUseKerberos(c, b);
}
void smbc_setOptionFallbackAfterKerberos(SMBCCTX* c, smbc_bool b) {
    smbClientFunctions().smbc_setOptionFallbackAfterKerberos(c, b);
}
void smbc_setOptionOpenShareMode(SMBCCTX* c, smbc_share_mode share_mode) {
    smbClientFunctions().smbc_setOptionOpenShareMode(c, share_mode);
}
void smbc_setFunctionAuthDataWithContext(SMBCCTX* c, smbc_get_auth_data_with_context_fn fn) {
    smbClientFunctions().smbc_setFunctionAuthDataWithContext(c, fn);
}
void smbc_setOptionNoAutoAnonymousLogin(SMBCCTX* c, smbc_bool b) {
    smbClientFunctions().smbc_setOptionNoAutoAnonymousLogin(c, b);
}
smbc_purge_cached_fn smbc_getFunctionPurgeCachedServers(SMBCCTX* c) {
    return smbClientFunctions().smbc_getFunctionPurgeCachedServers(c);
}
smbc_get_cached_srv_fn smbc_getFunctionGetCachedServer(SMBCCTX* c) {
    return smbClientFunctions().smbc_getFunctionGetCachedServer(c);
}
smbc_open_fn smbc_getFunctionOpen(SMBCCTX* c) {
    return smbClientFunctions().smbc_getFunctionOpen(c);
}
smbc_read_fn smbc_getFunctionRead(SMBCCTX* c) {
    return smbClientFunctions().smbc_getFunctionRead(c);
}
smbc_lseek_fn smbc_getFunctionLseek(SMBCCTX* c) {
    return smbClientFunctions().smbc_getFunctionLseek(c);
}
smbc_stat_fn smbc_getFunctionStat(SMBCCTX* c) {
    return smbClientFunctions().smbc_getFunctionStat(c);
}
smbc_fstat_fn smbc_getFunctionFstat(SMBCCTX* c) {
    return smbClientFunctions().smbc_getFunctionFstat(c);
}
smbc_close_fn smbc_getFunctionClose(SMBCCTX* c) {
    return smbClientFunctions().smbc_getFunctionClose(c);
}
}
