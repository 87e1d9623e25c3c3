#pragma once
#include <httplib.h>

namespace tb {

// GET /history: always 200 with the newest print records as the whole body.
void HandleHistory(const httplib::Request& req, httplib::Response& res);

}  // namespace tb
