#pragma once

// The ODBC C API: unixODBC on Linux, odbc32 on Windows, whose headers need windows.h's types
// first. The look-up's only platform-dependent include.
#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>
