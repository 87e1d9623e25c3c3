#pragma once
// A document named by path ("filePath"). The caller may be a web page, so the
// daemon opens the path exactly once, acting as the printing account, and
// reads everything from that one descriptor: the size, the digest, and a copy
// into the document cache, which is what the print program is given. The
// path is never opened by name again, so a link swapped or a FIFO put in its
// place meanwhile changes nothing, and the print program prints the bytes
// that were digested.
#include <cstdint>
#include <functional>
#include <string>

namespace tb::printing {

// Path documents above this size are refused.
inline constexpr int64_t kMaxPathDocument = int64_t{1} << 30;

struct CallerDocument {
  std::string copyPath;  // absolute path of the copy in the document cache
  std::string md5;
  int64_t size = 0;
};

enum class CallerDocumentResult {
  kRead,
  kUnreadable,  // refused or not readable by the printing account (logged when refused)
  kClientGone,  // the client left while the document was read (logged)
};

// Reads `path` into a copy named "path-<md5>.<extension>" in the document
// cache, which ages out like the cached base64 documents. `clientGone` is asked between blocks; null means never. Throws
// std::runtime_error "Cannot create file in sumatrapdfcache" or "Failed to
// write file into sumatrapdfcache" when the copy cannot be made.
CallerDocumentResult ReadCallerDocument(const std::string& path, const std::string& extension,
                                        const std::function<bool()>& clientGone,
                                        CallerDocument& document);

}  // namespace tb::printing
