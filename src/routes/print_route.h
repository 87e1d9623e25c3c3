#pragma once
// POST /print as HTTP: the body received, the print carried out, the answer.
#include <string_view>

#include <httplib.h>

#include "printing/print_intake.h"

namespace tb {

// The handler registered for POST /print. It receives the body itself, into
// one buffer sized from Content-Length (the library's own reading grows its
// buffer step by step: slow, and twice the memory for large documents); the
// library still enforces the body limit and answers 413 on its own.
void HandlePrint(const httplib::Request& req, httplib::Response& res,
                 const httplib::ContentReader& content);

// Everything after the body has arrived: the print, then its one reply.
void HandlePrintBody(std::string_view body, httplib::Response& res,
                     const printing::PrintServices& services);

}  // namespace tb
