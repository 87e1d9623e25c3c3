#pragma once
// Where a request comes from, as far as the daemon answers it: the Host it
// names must be this machine (a page of another site that rebinds its own
// name to this machine's address names its own host), and the settings
// links of the status page must not be followed from another site.
#include <functional>
#include <string>
#include <string_view>

#include <httplib.h>

namespace tb {

// Whether a name (lower case, without a trailing dot) is one of the
// machine's own or one an administrator added.
using KnownHost = std::function<bool(std::string_view lowerName)>;

// True for a request without Host (older tools), or whose one Host, its
// port left aside, is "localhost", an IPv4 address 127.x.y.z, "[::1]", the
// address the request came in on, or a name `known` accepts (asked last).
bool HostAllowed(const httplib::Request& req, const KnownHost& known);

// The host part of a Host value: lower case, without port, brackets kept for
// IPv6; empty when the value is not a host.
std::string HostOfHeader(std::string_view value);

// True when a browser says the request was started by a page of another site.
bool FromCrossSitePage(const httplib::Request& req);

}  // namespace tb
