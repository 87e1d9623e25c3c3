#pragma once
#include <string>

namespace tb {

// The daemon's main function: start-up, the listening loop, ordered shutdown.
// 0 after an orderly stop, -1 when the working directory cannot be set, -2
// when the port cannot be bound or the listening loop fails.
int daemon_main();

}  // namespace tb
