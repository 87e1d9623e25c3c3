#pragma once
// The print history: the newest print records as JSON.
#include <httplib.h>
#include <nlohmann/json.hpp>

namespace tb::store {

// At most 1000 records, highest id first, each with the nine members
// of a print record; an empty array without a database.
nlohmann::json ListHistory();

// GET /history: always 200 with the array as the whole body.
void HandleHistory(const httplib::Request& req, httplib::Response& res);

}  // namespace tb::store
