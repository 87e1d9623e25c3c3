#include "printing/document_cache.h"

namespace tb::printing {

Mutex& CacheMutex() {
  static Mutex m;
  return m;
}

}  // namespace tb::printing
