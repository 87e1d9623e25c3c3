#pragma once
// Ending the process at once.
#include <cstdint>

namespace tb::platform {

// Ends the process with `code` without running exit handlers, static
// destructors or (on Windows) the libraries' detach code, which other
// threads of the process may still be inside. Flush the log first.
[[noreturn]] void EndProcessNow(uint32_t code);

}  // namespace tb::platform
