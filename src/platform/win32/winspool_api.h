#pragma once
// <windows.h> and <winspool.h> for the spooler code. The A/W macros that share
// their names with the Spooler interface's methods are removed, so the W
// functions are always called by their full names.
#include <windows.h>
#include <winspool.h>

#undef EnumPrinters
#undef GetDefaultPrinter
#undef OpenPrinter
#undef EnumJobs
#undef SetJob
#undef DocumentProperties
#undef GetPrinter
#undef DeviceCapabilities
#undef CreateDC
