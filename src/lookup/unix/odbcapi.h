#pragma once

// The ODBC C API of unixODBC. The build picks this folder or win32/.
#include <sql.h>
#include <sqlext.h>
