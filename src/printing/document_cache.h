#pragma once
// The document cache: the folder "sumatrapdfcache" beside the executable,
// where base64 documents are stored under the MD5 of their text, and the lock
// that serialises every use of it.
#include "base/thread_annotations.h"

namespace tb::printing {

inline constexpr const char* kCacheFolderName = "sumatrapdfcache";

// CacheMutex: held by a print from the base64 intake through the refit, and
// by the cache cleaner for a whole sweep. Never held together with PrintMutex.
Mutex& CacheMutex();

}  // namespace tb::printing
