#include "serviceconfig.h"
#include "usageerror.h"
#include "windowsprocess.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

// What the Windows service decides without a Service Control Manager: its command line, its SID,
// windows_exporter's folder, its messages; and the Event Log's texts in stationctl.exe itself.
namespace orvendal::testing {
namespace {

using namespace watch::service;

std::vector<std::wstring> split(const std::wstring& line) {
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> arguments(argv, argv + count);
    ::LocalFree(argv);
    return arguments;
}

// A NAME becomes part of a service's, an event source's (a registry key's) and a folder's name:
// only a plain word may.
TEST(ServiceConfig, ServiceNamesAreOrvendalOrOrvendalDollarAPlainWord) {
    EXPECT_EQ(serviceName(std::nullopt), L"Orvendal");
    EXPECT_EQ(serviceName("empresa_2-b"), L"Orvendal$empresa_2-b");
    for (const char* refused : {"", "a b", "a\\b", "..", "a/b", "ñandú", "a$", "a%b%",
                                "12345678901234567890123456789012345678901"}) {
        EXPECT_THROW(serviceName(std::string(refused)), UsageError) << refused;
    }
    EXPECT_TRUE(isWatcherService(L"orvendal$B"));
    EXPECT_FALSE(isWatcherService(L"OrvendalX"));
    EXPECT_EQ(defaultTextfileName(L"Orvendal$B"), L"orvendal-B.prom");
}

// An upgrade moves the program and keeps everything after it, quoted as it was.
TEST(ServiceConfig, ProgramReplacedArgumentsKept) {
    const std::wstring program = L"C:\\Program Files\\Orvendal\\stationctl.exe";
    const std::wstring arguments = L" service run \"C:\\x y\\M.SIT\" --journal C:\\j.db";
    for (const std::wstring old :
         {L"\"D:\\zip folder\\stationctl.exe\"", L"D:\\zip\\stationctl.exe"}) {
        EXPECT_EQ(withProgram(old + arguments, program), L"\"" + program + L"\"" + arguments);
    }
}

TEST(ServiceConfig, CommandLineGivesEveryArgumentBack) {
    const std::vector<std::wstring> arguments = {
        L"C:\\Datos app\\MARLOVEN.SIT",
        L"\\\\servidor\\recurso con blancos\\",
        L"a\"b",
        L"a\\\"b",
        L"fin\\\\",
        L"",
        L"echo !ORVENDAL_NAME! > \"C:\\x y\\z.txt\"",
        L"ñandú\t«x»",
        L"--journal",
    };
    const std::wstring program = L"C:\\Program Files\\Orvendal\\stationctl.exe";
    const std::vector<std::wstring> back = split(serviceCommandLine(program, arguments));
    ASSERT_EQ(back.size(), arguments.size() + 3);
    EXPECT_EQ(back[0], program);
    EXPECT_EQ(back[1], L"service");
    EXPECT_EQ(back[2], L"run");
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(back[i + 3], arguments[i]) << utf8(arguments[i]);
    }
}

TEST(ServiceConfig, WhatTheManagerWouldExpandIsRefused) {
    const std::wstring program = L"C:\\Orvendal\\stationctl.exe";
    for (const std::wstring& argument : {std::wstring(L"C:\\%USERNAME%\\journal.db"),
                                         std::wstring(L"echo 100%"), std::wstring(L"a\0b", 3)}) {
        const std::vector<std::wstring> arguments = {L"MARLOVEN.SIT", argument};
        EXPECT_THROW(serviceCommandLine(program, arguments), UsageError) << utf8(argument);
    }
    const std::vector<std::wstring> none;
    EXPECT_THROW(serviceCommandLine(L"C:\\100%\\stationctl.exe", none), UsageError);
}

TEST(ServiceConfig, ServiceSidIsWindowsOwn) {
    // As Windows lists them: sc showsid TrustedInstaller, and a name in other capitals.
    EXPECT_EQ(serviceSid(L"TrustedInstaller"),
              L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    EXPECT_EQ(serviceSid(L"trustedinstaller"), serviceSid(L"TRUSTEDINSTALLER"));
    EXPECT_EQ(serviceSid(L"Orvendal").rfind(L"S-1-5-80-", 0), 0u);
    EXPECT_NE(serviceSid(L"Orvendal"), serviceSid(L"TrustedInstaller"));
}

TEST(ServiceConfig, ExporterTextfileFolder) {
    const struct {
        std::wstring imagePath;
        std::optional<std::wstring> folder;
    } cases[] = {
        {L"\"C:\\Program Files\\windows_exporter\\windows_exporter.exe\" --log.format "
         L"logger:eventlog",
         L"C:\\Program Files\\windows_exporter\\textfile_inputs"},
        {L"\"C:\\Program Files\\windows_exporter\\windows_exporter.exe\" "
         L"--collector.textfile.directories=\"D:\\metrics\\in,E:\\more\"",
         L"D:\\metrics\\in"},
        {L"C:\\we\\windows_exporter.exe --collector.textfile.directory \"D:\\prom files\"",
         L"D:\\prom files"},
        {L"C:\\we\\windows_exporter.exe --collector.textfile.directories=",
         L"C:\\we\\textfile_inputs"},
        {L"windows_exporter.exe", std::nullopt},
        {L"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(exporterTextfileFolder(c.imagePath), c.folder) << utf8(c.imagePath);
    }
}

TEST(ServiceConfig, ManagerFailures) {
    const struct {
        DWORD error;
        std::string expected;
    } cases[] = {
        {ERROR_ACCESS_DENIED, "el servicio Orvendal: hace falta ser administrador. Abra el Símbolo "
                              "del sistema con «Ejecutar como administrador» y repita la orden"},
        {ERROR_SERVICE_DISABLED, "el servicio Orvendal: 1058-"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(managerFailure(c.error, "el servicio Orvendal").rfind(c.expected, 0), 0u)
            << managerFailure(c.error, "el servicio Orvendal");
    }
}

// Event Viewer finds the texts as FormatMessage does: in the module of the source's
// EventMessageFile, by event ID, in the neutral language, with the event's inserts.
TEST(ServiceConfig, EventLogTextsAreInTheProgram) {
    const char* program = std::getenv("ORVENDAL_STATIONCTL");
    ASSERT_NE(program, nullptr);
    const HMODULE module = ::LoadLibraryExW(
        wide(program).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    const wchar_t* inserts[] = {
        L"3", L"1002", L"Señora Pérez", L"PC-07", L"LC1", L"C:\\datos\\MARLOVEN.SIT", L"12.500 s"};
    const struct {
        DWORD id;
        std::string text;
    } cases[] = {
        {0x40000001, "Estación conectada: fila 3, estación 1002, nombre «Señora Pérez», conexión "
                     "«PC-07», LC «LC1».\r\nFichero de estaciones: C:\\datos\\MARLOVEN.SIT"},
        {0x40000002, "Estación desconectada: fila 3, estación 1002, nombre «Señora Pérez», "
                     "conexión «PC-07», LC «LC1». Duración de la sesión: 12.500 s.\r\nFichero de "
                     "estaciones: C:\\datos\\MARLOVEN.SIT"},
        {0x80000003, "No se puede leer el fichero de estaciones 3: 1002."},
        {0x40000004, "El fichero de estaciones 3 vuelve a leerse."},
        {0x40000005, "Orvendal empieza a vigilar el fichero de estaciones 3.\r\nDiario: 1002"},
        {0x40000006, "Orvendal deja de vigilar el fichero de estaciones 3: 1002 sesiones abiertas "
                     "se cierran como «stopped»."},
        {0x80000007, "Aviso del vigilante de estaciones: 3"},
        {0xC0000008, "El vigilante del fichero de estaciones 3 ha terminado con un fallo: 1002"},
    };
    for (const auto& c : cases) {
        wchar_t* text = nullptr;
        const DWORD n =
            ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                 FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             module, c.id, 0, reinterpret_cast<wchar_t*>(&text), 0,
                             reinterpret_cast<va_list*>(const_cast<wchar_t**>(inserts)));
        ASSERT_NE(n, 0u) << std::hex << c.id << ": error " << std::dec << ::GetLastError();
        const std::string message = utf8(std::wstring(text, n));
        ::LocalFree(text);
        EXPECT_EQ(message.rfind(c.text, 0), 0u) << message;
    }
    ::FreeLibrary(module);
}

} // namespace
} // namespace orvendal::testing
