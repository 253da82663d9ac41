#pragma once

// The resource ids of orvendal.rc, shared with the window code that loads them.
#define ORVENDAL_ICON_ID 1
