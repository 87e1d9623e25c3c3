#pragma once
// The platform seam: the portable core reaches the operating system only
// through these objects. Production code gets the real implementation of the
// platform it was built for; tests install fakes.
namespace tb::platform {

class Process;
class ServiceManager;
class Spooler;
class DesktopLauncher;
class MetricsChannel;
class PrintingAccount;
class RawSpooler;

struct Platform {
  Process* process = nullptr;
  ServiceManager* serviceManager = nullptr;
  Spooler* spooler = nullptr;
  DesktopLauncher* launcher = nullptr;
  MetricsChannel* metricsChannel = nullptr;
  PrintingAccount* printingAccount = nullptr;
  RawSpooler* rawSpooler = nullptr;
};

// The platform in use: the real one unless a test replaced it. Any thread;
// the objects it points to live as long as the process (or the override).
Platform& Current();

// The real implementation for this build (defined in posix/ or win32/).
Platform& Native();

// Replaces the platform for the lifetime of the object (tests only). Made
// and destroyed while no other thread of the test reaches the platform.
class ScopedPlatformOverride {
 public:
  explicit ScopedPlatformOverride(Platform& replacement);
  ~ScopedPlatformOverride();
  ScopedPlatformOverride(const ScopedPlatformOverride&) = delete;
  ScopedPlatformOverride& operator=(const ScopedPlatformOverride&) = delete;

 private:
  Platform* previous_;
};

}  // namespace tb::platform
