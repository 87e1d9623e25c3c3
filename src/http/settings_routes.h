#pragma once
// The settings routes: browser routes that redirect to "/" and client routes
// that answer JSON.
#include <httplib.h>

namespace tb {

// GET /version: {"version": "v1.4.0"}.
void HandleVersion(const httplib::Request& req, httplib::Response& res);

}  // namespace tb
