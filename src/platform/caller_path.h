#pragma once
// Paths named by callers (a web page can name one) that the daemon must not
// open at all, judged from the text alone before anything touches the path.
#include <string>
#include <string_view>

namespace tb::platform {

// Why no platform may open this path: "NUL character in path" (the system
// would open a shorter path than the one judged); empty when it may be tried.
std::string PathTextRefusal(std::string_view path);

// Why Windows must not open this path for a caller, as Windows itself reads
// it, forward slashes included; empty when it may be tried:
// - "network path": \\host\share\..., \\?\UNC\... (opening one makes the
//   service connect to another machine with its own credentials);
// - "device path": \\.\..., \\?\ forms other than \\?\X:\..., the NT prefix
//   \??\, and a last component that Windows takes for a device whatever its
//   folder or extension (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$,
//   e.g. C:\x\nul.txt);
// plus PathTextRefusal.
std::string WindowsPathRefusal(std::string_view path);

}  // namespace tb::platform
