#include "base/service_context.h"

#include <string>

#include "base/logging.h"

namespace tb {

bool ActsAsService(platform::Process& process) {
  switch (process.OwnSession()) {
    case platform::Process::Session::kService:
      return true;
    case platform::Process::Session::kConsole:
      return false;
    case platform::Process::Session::kUnknown:
      break;
  }
  const uint32_t error = process.LastError();
  LogError("[Service] the process's session cannot be told (error " + std::to_string(error) +
           "); acting as the service");
  return true;
}

}  // namespace tb
