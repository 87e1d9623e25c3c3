#pragma once
// The web pages that may use the daemon: configuration rows of the type
// ALLOWED_ORIGIN, one per origin (the key; the value is when it was allowed).
// No rows: every page may, as without the list.
#include <string>
#include <vector>

namespace tb::store {

inline constexpr const char* kAllowedOriginType = "ALLOWED_ORIGIN";

// The listed origins in their normalised form; empty without a database.
std::vector<std::string> ListAllowedOrigins();

// Normalises `text` and lists it (again: the time is renewed). False with the
// reason in `error` for text that is not an origin or a failed write.
bool AllowOrigin(const std::string& text, std::string& origin, std::string& error);

// Normalises `text` and removes it: the number of rows removed (0 when it was
// not listed), or -1 with the reason in `error`.
int DenyOrigin(const std::string& text, std::string& origin, std::string& error);

}  // namespace tb::store
