#pragma once
#include <string>

namespace tb {

// Result when the service's folder may be changed by others than the
// system's administrators: nothing was started.
inline constexpr int kUnsafeFolderResult = -5;

// The daemon's main function: start-up, the listening loop, ordered shutdown.
// 0 after an orderly stop, -1 when the working directory cannot be set, -2
// when the port cannot be bound or the listening loop fails,
// kUnsafeFolderResult when the service's folder is not safe.
int daemon_main();

}  // namespace tb
