#include "printing/document_cache.h"

namespace tb::printing {

std::mutex& CacheMutex() {
  static std::mutex m;
  return m;
}

}  // namespace tb::printing
