#include "platform/host_names.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

namespace tb::platform {

std::vector<std::string> MachineHostNames() {
  std::vector<std::string> names;
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return names;
  names.emplace_back(host);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
    if (found && found->ai_canonname) names.emplace_back(found->ai_canonname);
    freeaddrinfo(found);
  }
  // The short name of a fully qualified host name.
  const std::string first = names.front();
  if (const size_t dot = first.find('.'); dot != std::string::npos && dot > 0) {
    names.push_back(first.substr(0, dot));
  }
  return names;
}

}  // namespace tb::platform
