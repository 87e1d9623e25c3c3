#pragma once
// The process-wide stop flag.
#include <atomic>

namespace tb {

// Set once by the service control handler on the first accepted stop or
// shutdown; /print answers 503 from then on. Never set in a console run.
// Lives for the whole process; read it from any thread. The daemon never clears it.
std::atomic<bool>& ShuttingDown();

}  // namespace tb
