#pragma once
// Request bodies read through a route's content reader, so that the body
// limit holds however the body is framed.
#include <string>

#include <httplib.h>

namespace tb {

inline constexpr size_t kMaxRequestBody = 67108864;  // 64 MiB

// Reads the whole body into `body`. A body longer than kMaxRequestBody is
// refused with 413, whether it came with a length, in chunks or until the
// peer closed; form parts (no JSON body) are read and dropped. False when
// the body was refused or could not be read; the status is set then.
bool ReadRequestBody(const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& content, std::string& body);

// The size to make room for before reading a body: its announced length
// when valid and within kMaxRequestBody, kMaxRequestBody when it has no
// length (chunked or until the peer closes), 0 otherwise (the library
// refuses an announced length past the limit before any byte is read).
size_t ExpectedBodyBytes(const httplib::Request& req);

// Reads and drops a form body's parts: they carry no JSON, so the route
// answers the empty body like any other text that is not JSON.
bool DropFormParts(const httplib::ContentReader& content);

// After a content reader failed: 413 when the body passed the limit (also
// when the connection cut off its chunks), else the library's status stays.
void SetBodyFailureStatus(httplib::Response& res, bool overLimit);

}  // namespace tb
