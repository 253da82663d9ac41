#pragma once

// The ODBC C API of Windows' odbc32, whose headers need windows.h's types first. The build picks
// this folder or unix/.
#include <windows.h>

#include <sql.h>
#include <sqlext.h>
