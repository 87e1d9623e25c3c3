#pragma once
// A minimal HTTP/1.1 client over one TCP connection, for tests that must see
// exactly what goes over the wire (keep-alive, connection close).
#include <map>
#include <optional>
#include <string>

namespace tbtest {

struct RawResponse {
  int status = 0;
  std::multimap<std::string, std::string> headers;  // names lower-cased
  std::string body;
  std::string Header(const std::string& lowerName) const;
};

class RawConnection {
 public:
  explicit RawConnection(int port = 3806);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool Send(const std::string& bytes);
  // Reads one response (Content-Length bodies only); nullopt on EOF / error.
  std::optional<RawResponse> ReadResponse();
  // True when the peer has closed the connection (a read returns 0).
  bool PeerClosed(int timeoutMs = 2000);
  // True when something can be read: an answer, the peer's close or a reset.
  bool Readable(int timeoutMs);

 private:
  int fd_ = -1;
  std::string buffer_;
};

}  // namespace tbtest
