#include "serviceconfig.h"

#include "escape.h"
#include "text.h"
#include "usageerror.h"
#include "win32error.h"
#include "win32text.h"

#include <shellapi.h>
#include <wincrypt.h>

#include <algorithm>
#include <array>
#include <memory>

namespace orvendal::watch::service {
namespace {

// CommandLineToArgvW's answer, freed with LocalFree.
struct ArgvFree {
    void operator()(wchar_t** argv) const { ::LocalFree(argv); }
};

} // namespace

std::wstring serviceName(const std::optional<std::string>& instance) {
    if (!instance) {
        return kName;
    }
    const bool plain = !instance->empty() && instance->size() <= 40 &&
                       std::all_of(instance->begin(), instance->end(), [](char c) {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '_' || c == '-';
                       });
    if (!plain) {
        throw UsageError("--name «" + printable(*instance) +
                         "»: el nombre lleva de 1 a 40 letras sin acentos, cifras, _ o -");
    }
    return std::wstring(kName) + L"$" + std::wstring(instance->begin(), instance->end());
}

bool isWatcherService(std::wstring_view name) {
    const std::wstring_view base = kName;
    return name.size() >= base.size() &&
           ::CompareStringOrdinal(name.data(), static_cast<int>(base.size()), base.data(),
                                  static_cast<int>(base.size()), TRUE) == CSTR_EQUAL &&
           (name.size() == base.size() || name[base.size()] == L'$');
}

std::wstring instanceOf(std::wstring_view service) {
    const std::size_t dollar = service.find(L'$');
    return dollar == std::wstring_view::npos ? std::wstring()
                                             : std::wstring(service.substr(dollar + 1));
}

std::optional<std::wstring> quoteArgument(std::wstring_view argument) {
    if (argument.find(L'\0') != std::wstring_view::npos) {
        return std::nullopt;
    }
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
        return std::wstring(argument);
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal except before a quote, where each needs its own escape.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

std::wstring serviceCommandLine(std::wstring_view program,
                                std::span<const std::wstring> arguments) {
    // The program's own name is read up to the next quote, with no escapes: Windows paths hold
    // no quote, and a path that did could not be named.
    if (program.find_first_of(L"\"%") != std::wstring_view::npos) {
        throw UsageError("la ruta del programa " + files::narrow(program) +
                         " contiene \" o %, que la línea de órdenes de un servicio no admite");
    }
    std::wstring line = L"\"" + std::wstring(program) + L"\" service run";
    for (const std::wstring& argument : arguments) {
        const auto quoted = quoteArgument(argument);
        if (!quoted || argument.find(L'%') != std::wstring::npos) {
            throw UsageError("«" + files::narrow(argument) +
                             "» contiene %, que el Administrador de control de servicios "
                             "sustituiría por una variable de entorno al arrancar el servicio; en "
                             "--on-change lea las variables como !NOMBRE!");
        }
        line += L" " + *quoted;
    }
    // The limit of a process's command line.
    if (line.size() >= 32767) {
        throw UsageError("la línea de órdenes del servicio pasaría de 32767 caracteres");
    }
    return line;
}

std::wstring withProgram(std::wstring_view commandLine, std::wstring_view program) {
    // The program's own name ends at the closing quote, or at the first blank when unquoted.
    std::size_t end = 0;
    if (commandLine.starts_with(L'"')) {
        const std::size_t quote = commandLine.find(L'"', 1);
        end = quote == std::wstring_view::npos ? commandLine.size() : quote + 1;
    } else {
        end = std::min(commandLine.find_first_of(L" \t"), commandLine.size());
    }
    return L"\"" + std::wstring(program) + L"\"" + std::wstring(commandLine.substr(end));
}

std::wstring defaultTextfileName(std::wstring_view service) {
    const std::wstring instance = instanceOf(service);
    return instance.empty() ? L"orvendal.prom" : L"orvendal-" + instance + L".prom";
}

std::wstring serviceSid(std::wstring_view name) {
    std::wstring upper(name);
    if (!upper.empty()) {
        ::CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    }
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL,
                                CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        throw files::lastWindowsError("CryptAcquireContext");
    }
    std::unique_ptr<void, void (*)(void*)> providerOwner(
        reinterpret_cast<void*>(provider),
        [](void* p) { ::CryptReleaseContext(reinterpret_cast<HCRYPTPROV>(p), 0); });
    HCRYPTHASH hash = 0;
    if (!::CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash)) {
        throw files::lastWindowsError("CryptCreateHash");
    }
    std::unique_ptr<void, void (*)(void*)> hashOwner(reinterpret_cast<void*>(hash), [](void* h) {
        ::CryptDestroyHash(reinterpret_cast<HCRYPTHASH>(h));
    });
    std::array<BYTE, 20> digest{};
    DWORD size = digest.size();
    if (!::CryptHashData(hash, reinterpret_cast<const BYTE*>(upper.data()),
                         static_cast<DWORD>(upper.size() * sizeof(wchar_t)), 0) ||
        !::CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size, 0) || size != digest.size()) {
        throw files::lastWindowsError("CryptHashData");
    }
    std::wstring sid = L"S-1-5-80";
    for (std::size_t i = 0; i < digest.size(); i += 4) {
        const unsigned long part = digest[i] | digest[i + 1] << 8 | digest[i + 2] << 16 |
                                   static_cast<unsigned long>(digest[i + 3]) << 24;
        sid += L"-" + std::to_wstring(part);
    }
    return sid;
}

std::optional<std::wstring> exporterTextfileFolder(std::wstring_view imagePath) {
    int count = 0;
    const std::unique_ptr<wchar_t*, ArgvFree> argv(
        ::CommandLineToArgvW(std::wstring(imagePath).c_str(), &count));
    if (!argv || count < 1 || imagePath.empty()) {
        return std::nullopt;
    }
    for (int i = 1; i < count; ++i) {
        std::wstring_view argument = argv.get()[i];
        for (const std::wstring_view flag :
             {L"--collector.textfile.directories", L"--collector.textfile.directory"}) {
            if (!argument.starts_with(flag)) {
                continue;
            }
            std::wstring_view value = argument.substr(flag.size());
            if (value.starts_with(L'=')) {
                value.remove_prefix(1);
            } else if (value.empty() && i + 1 < count) {
                value = argv.get()[i + 1];
            } else {
                continue;
            }
            // Several folders are separated by commas; the first is as good as any.
            value = value.substr(0, value.find(L','));
            if (!value.empty()) {
                return std::wstring(value);
            }
        }
    }
    std::wstring program = argv.get()[0];
    const std::size_t slash = program.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        return std::nullopt;
    }
    return program.substr(0, slash) + L"\\textfile_inputs";
}

std::string managerFailure(DWORD error, std::string_view what) {
    if (error == ERROR_ACCESS_DENIED) {
        return std::string(what) +
               ": hace falta ser administrador. Abra el Símbolo del sistema con «Ejecutar como "
               "administrador» y repita la orden";
    }
    const Error described = files::windowsError(error);
    return std::string(what) + ": " + described.text('-');
}

} // namespace orvendal::watch::service
