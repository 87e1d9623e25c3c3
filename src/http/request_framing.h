#pragma once
// How a request's body is framed and coded, judged from its head before any
// body byte is read. The daemon takes a body as it was sent: one lone
// "chunked" transfer coding or one decimal length, never both, and no
// content coding.
#include <string>

#include <httplib.h>

namespace tb {

struct FramingVerdict {
  int status = 0;    // 0: acceptable; else the status to refuse it with
  std::string text;  // the short reason for the answer's body
};

// 400 for faulty framing: Transfer-Encoding beside Content-Length, a transfer
// coding other than a lone "chunked" (names compared without case), one in an
// HTTP/1.0 request, a length that is not one decimal number; 415 for a
// Content-Encoding other than "identity".
FramingVerdict JudgeFraming(const httplib::Request& req);

// Whether the request announces a body: a transfer coding or a length other
// than zero, or a method the library reads a body for until the peer closes.
bool CarriesBody(const httplib::Request& req);

}  // namespace tb
