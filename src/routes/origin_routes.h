#pragma once
// The status page's links that manage the allow-list of origins. Browser
// routes like /fit: they change the list and redirect to "/".
#include <httplib.h>

namespace tb {

// GET /allow-origin?origin=...: lists the origin (and drops it from the
// refused ones); 400 for text that is not an origin, 500 when the write fails.
void HandleAllowOrigin(const httplib::Request& req, httplib::Response& res);
// GET /deny-origin?origin=...: takes it off the list.
void HandleDenyOrigin(const httplib::Request& req, httplib::Response& res);

}  // namespace tb
