#pragma once
// Request bodies read through a route's content reader, so that the body
// limit holds however the body is framed.
#include <string>

#include <httplib.h>

namespace tb {

// Reads the whole body into `body`. A body longer than kMaxRequestBody is
// refused with 413, whether it came with a length, in chunks or until the
// peer closed; form parts (no JSON body) are read and dropped. False when
// the body was refused or could not be read; the status is set then.
bool ReadRequestBody(const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& content, std::string& body);

// After a content reader failed: 413 when the body passed the limit (also
// when the connection cut off its chunks), else the library's status stays.
void SetBodyFailureStatus(httplib::Response& res, bool overLimit);

}  // namespace tb
