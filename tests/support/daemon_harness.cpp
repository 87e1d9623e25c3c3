#include "support/daemon_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tbtest {
namespace fs = std::filesystem;

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "tbtest-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = made;
  ::chmod(path_.c_str(), 0755);
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Files may have been made read-only by a test; make them removable first.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string BuiltDaemonPath() { return TB_DAEMON_PATH; }
std::string BuildDir() { return TB_BUILD_DIR; }

DaemonProcess::DaemonProcess(const TempFolder& folder, DaemonOptions options)
    : folder_(folder.path()) {
  exe_ = folder_ + "/" + fs::path(BuiltDaemonPath()).filename().string();
  fs::copy_file(BuiltDaemonPath(), exe_, fs::copy_options::overwrite_existing);
  fs::permissions(exe_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);

  std::vector<std::string> argStore{exe_};
  for (auto& a : options.args) argStore.push_back(a);
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> envMap;
  for (char** e = environ; *e; ++e) {
    std::string kv(*e);
    size_t eq = kv.find('=');
    if (eq != std::string::npos) envMap[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  // The test runner itself may run under a service manager; the daemon must
  // only see what the test says.
  envMap.erase("NOTIFY_SOCKET");
  envMap.erase("INVOCATION_ID");
  for (auto& [k, v] : options.env) envMap[k] = v;
  std::vector<std::string> envStore;
  for (auto& [k, v] : envMap) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string outPath = folder_ + "/.stdout", errPath = folder_ + "/.stderr";
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // Start from a neutral folder so that the daemon must set its own.
  posix_spawn_file_actions_addchdir_np(&actions, "/");
  // Other test runs on this machine may hold the fixed port for a while.
  if (options.waitForPort && !WaitForPortFree(3806, std::chrono::seconds(180))) {
    throw std::runtime_error("port 3806 stays taken by another process");
  }
  int rc = posix_spawn(&pid_, exe_.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("posix_spawn failed");
  if (options.waitForPort) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ListeningPid(3806) != pid_) {
      if (std::chrono::steady_clock::now() > deadline || !Running()) {
        throw std::runtime_error("daemon did not open port 3806; stderr: " + Stderr());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

DaemonProcess::~DaemonProcess() {
  if (Running()) {
    ::kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
}

void DaemonProcess::Signal(int sig) { ::kill(pid_, sig); }

bool DaemonProcess::Running() {
  if (exitStatus_) return false;
  return !Wait(std::chrono::milliseconds(0)).has_value();
}

std::optional<int> DaemonProcess::Wait(std::chrono::milliseconds timeout) {
  if (exitStatus_) return exitStatus_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitStatus_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string DaemonProcess::Stdout() const { return ReadFile(folder_ + "/.stdout"); }
std::string DaemonProcess::Stderr() const { return ReadFile(folder_ + "/.stderr"); }

static bool TryConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

bool WaitForPort(int port, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (TryConnect(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

bool PortIsFree(int port) { return ListeningPid(port) == 0 && !TryConnect(port); }

bool WaitForPortFree(int port, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!PortIsFree(port)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

pid_t ListeningPid(int port) {
  // Find the inode of the listening socket, then the process holding it.
  char want[16];
  std::snprintf(want, sizeof want, ":%04X", port);
  std::string inode;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream in(ReadFile(table));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream f(line);
      std::string sl, local, remote, state, queues, timer, retr, uid, timeout, ino;
      f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> ino;
      if (state == "0A" && local.size() >= 5 && local.substr(local.size() - 5) == want) inode = ino;
    }
  }
  if (inode.empty()) return 0;
  const std::string target = "socket:[" + inode + "]";
  std::error_code ec;
  for (auto& proc : fs::directory_iterator("/proc", ec)) {
    std::string name = proc.path().filename().string();
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    std::error_code ec2;
    for (auto& fd : fs::directory_iterator(proc.path() / "fd", ec2)) {
      std::error_code ec3;
      if (fs::read_symlink(fd.path(), ec3).string() == target) return static_cast<pid_t>(std::stoi(name));
    }
  }
  return -1;  // listening, but the owner is not visible
}

}  // namespace tbtest
