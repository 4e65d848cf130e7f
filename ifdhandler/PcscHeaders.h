// pcsc-lite's reader-driver declarations (Debian's libpcsclite-dev). Its headers have no
// extern "C" of their own; there DWORD is unsigned long and RESPONSECODE long.
#pragma once

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}
