#include "printing/caller_document.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "base/logging.h"
#include "base/program_folder.h"
#include "platform/file_ops.h"
#include "platform/md5.h"
#include "platform/platform.h"
#include "platform/printing_account.h"
#include "platform/utf8_path.h"
#include "printing/document_cache.h"

namespace tb::printing {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBlock = 64 * 1024;
constexpr const char* kCopyPrefix = "path-";
// The client is looked at once per this many blocks (1 MiB).
constexpr int kBlocksPerClientCheck = 16;

void LogRefused(const std::string& why, const std::string& path) {
  LogError("[Print] filePath refused (" + why + "): " + LogValue(path));
}

// Opens the path while the calling thread acts as the printing account; the
// thread is itself again before this returns.
std::unique_ptr<platform::RegularFileReader> OpenAsPrintingAccount(const std::string& path,
                                                                   std::string& refusal,
                                                                   std::string& error) {
  platform::PrintingAccount* account = platform::Current().printingAccount;
  if (!account) {
    error = "no printing account on this system";
    return nullptr;
  }
  std::unique_ptr<platform::Impersonation> acting =
      account->Act(platform::ActingFor::kFiles, error);
  if (!acting) return nullptr;
  return platform::OpenRegularFile(path, refusal);
}

// Names the partial file of one read; a leftover of an earlier run under the
// same name is removed first.
uint64_t NextCopyNumber() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1);
}

}  // namespace

CallerDocumentResult ReadCallerDocument(const std::string& path, const std::string& extension,
                                        const std::function<bool()>& clientGone,
                                        CallerDocument& document) {
  std::string refusal, error;
  std::unique_ptr<platform::RegularFileReader> file = OpenAsPrintingAccount(path, refusal, error);
  if (!file) {
    if (!refusal.empty()) {
      LogRefused(refusal, path);
    } else if (!error.empty()) {
      LogError("[Print] filePath not opened, the printing account is not available: " +
               LogValue(error));
    }
    return CallerDocumentResult::kUnreadable;
  }
  const int64_t size = file->Size();
  if (size < 0) return CallerDocumentResult::kUnreadable;
  if (size > kMaxPathDocument) {
    LogRefused("larger than 1 GiB", path);
    return CallerDocumentResult::kUnreadable;
  }

  const fs::path folder = PathFromUtf8(ProgramFolder()) / kCacheFolderName;
  const uint64_t number = NextCopyNumber();
  const std::string partial = PathToUtf8(
      folder / PathFromUtf8("caller-" + std::to_string(number) + "." + extension + ".partial"));
  std::error_code ec;
  fs::remove(PathFromUtf8(partial), ec);
  uint32_t createError = 0;
  std::unique_ptr<platform::NewFile> copy = platform::CreateNewFile(partial, createError);
  if (!copy) throw std::runtime_error("Cannot create file in sumatrapdfcache");
  bool published = false;
  struct Discard {
    const std::string& name;
    bool& published;
    ~Discard() {
      if (!published) {
        std::error_code ignored;
        fs::remove(PathFromUtf8(name), ignored);
      }
    }
  } discard{partial, published};

  platform::Md5Digest md5;
  if (!md5.Start(error)) return CallerDocumentResult::kUnreadable;
  std::vector<char> block(kBlock);
  int64_t left = size;
  int blocks = 0;
  // No further than the size measured at the open: a file that keeps growing
  // cannot keep the request reading.
  while (left > 0) {
    if (clientGone && blocks++ % kBlocksPerClientCheck == 0 && clientGone()) {
      copy->Close();
      LogError("[Print] filePath read stopped, the client has gone: " + LogValue(path));
      return CallerDocumentResult::kClientGone;
    }
    const int64_t got = file->Read(block.data(), static_cast<size_t>(std::min<int64_t>(
                                                     left, static_cast<int64_t>(block.size()))));
    // A read that fails before the end must not pass for a shorter document.
    if (got < 0) return CallerDocumentResult::kUnreadable;
    if (got == 0) break;  // shrank meanwhile: what is there is the document
    if (!md5.Update(block.data(), static_cast<size_t>(got), error)) {
      return CallerDocumentResult::kUnreadable;
    }
    if (!copy->Write(block.data(), static_cast<size_t>(got))) {
      throw std::runtime_error("Failed to write file into sumatrapdfcache");
    }
    left -= got;
  }
  std::array<uint8_t, 16> digest{};
  if (!md5.Finish(digest, error)) return CallerDocumentResult::kUnreadable;
  if (!copy->Close()) throw std::runtime_error("Failed to write file into sumatrapdfcache");

  document.md5 = platform::HexOf(digest);
  document.size = size - left;
  // Named by content, apart from base64 documents (named by their text).
  const fs::path target =
      folder / PathFromUtf8(std::string(kCopyPrefix) + document.md5 + "." + extension);
  document.copyPath = PathToUtf8(target);
  uint32_t moveError = 0;
  if (!platform::MoveFileReplacing(partial, document.copyPath, moveError,
                                   platform::MoveDurability::kNoWait)) {
    // Windows refuses to replace a file a print program has open; the same
    // name holds the same bytes, so that copy serves, made fresh for the
    // cache cleaner.
    if (!fs::is_regular_file(target, ec)) {
      throw std::runtime_error("Failed to write file into sumatrapdfcache");
    }
    platform::SetFileTimesToNow(document.copyPath);
    return CallerDocumentResult::kRead;  // the partial file goes with `discard`
  }
  published = true;
  return CallerDocumentResult::kRead;
}

}  // namespace tb::printing
