#include "printing/print_intake.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "base/json_body.h"
#include "base/text.h"
#include "platform/file_ops.h"
#include "platform/md5.h"
#include "platform/utf8_path.h"
#include "platform/platform.h"
#include "platform/printing_account.h"
#include "printing/caller_document.h"
#include "printing/document_cache.h"
#include "base/local_timestamp.h"
#include "printing/print_execution.h"
#include "base/program_folder.h"
#include "base/logging.h"
#include "base/shutting_down.h"
#include "base/value_bounds.h"

namespace tb::printing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// Members are read leniently: a body that is not an object, a missing
// member and a member of another type all give the default.
const json* Member(const json& body, const char* key) {
  if (!body.is_object()) return nullptr;
  auto it = body.find(key);
  return it == body.end() ? nullptr : &*it;
}

std::string ReadString(const json& body, const char* key, const char* fallback) {
  const json* m = Member(body, key);
  if (!m || !m->is_string()) return fallback;
  return StrictUtf8(m->get_ref<const std::string&>());
}

PrintOutcome Refusal(const char* message, int code, int status) {
  return {status, json{{"status", "error"}, {"message", message}, {"code", code}}};
}

constexpr const char* kUnreadableDocument = "读取打印文件失败！";
constexpr const char* kNotTheUsersPrinter = "PrinterName 不是当前用户的打印机！";

bool IsPrintingAccountPrinter(const std::string& printer) {
  platform::PrintingAccount* account = platform::Current().printingAccount;
  bool has = false;
  std::string error = "no printing account on this system";
  if (!account || !account->HasPrinter(printer, has, error)) {
    LogError("[Print] PrinterName refused, the printing user's printers cannot be listed: " +
             LogValue(error));
    return false;
  }
  if (!has) {
    LogError("[Print] PrinterName refused, not a printer of the printing user: " +
             LogValue(printer));
  }
  return has;
}

// Each byte's 6-bit value; every byte outside the alphabet is -1, except
// the blanks that are skipped and the padding character, which get their own
// marks so that one look-up classifies a byte.
constexpr int kBase64Invalid = -1;
constexpr int kBase64Blank = -2;
constexpr int kBase64Padding = -3;

const std::array<int, 256>& Base64Table() {
  // A function-local static is initialised once, also under concurrent
  // first calls.
  static const std::array<int, 256> table = [] {
    std::array<int, 256> t{};
    t.fill(kBase64Invalid);
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = i;
    for (unsigned char blank : {' ', '\t', '\r', '\n'}) t[blank] = kBase64Blank;
    t['='] = kBase64Padding;
    return t;
  }();
  return table;
}

// The same look-up as four tables of already shifted values, for whole
// quanta: a byte outside the alphabet sets bit 24, which no valid value
// reaches, so one test judges four characters.
struct QuantumTables {
  std::array<uint32_t, 256> shifted[4];
};

const QuantumTables& Base64QuantumTables() {
  static const QuantumTables tables = [] {
    QuantumTables t{};
    const std::array<int, 256>& table = Base64Table();
    for (int c = 0; c < 256; ++c) {
      for (int k = 0; k < 4; ++k) {
        t.shifted[k][c] = table[c] >= 0 ? static_cast<uint32_t>(table[c]) << (18 - 6 * k)
                                        : uint32_t{1} << 24;
      }
    }
    return t;
  }();
  return tables;
}

// Decodes `text`, handing the bytes to `sink` in pieces of up to 64 KiB
// whatever the sink does with them. False as soon as the text proves not to be
// base64; `produced` counts the bytes handed over.
template <typename Sink>
bool DecodeBase64(std::string_view text, Sink&& sink, uint64_t& produced) {
  const std::array<int, 256>& table = Base64Table();
  const QuantumTables& quanta = Base64QuantumTables();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  char block[65536];
  size_t used = 0;
  produced = 0;
  auto flush = [&] {
    sink(block, used);
    produced += used;
    used = 0;
  };
  uint32_t accumulator = 0;
  int bits = -8;
  bool padding = false;
  size_t i = 0;
  while (i < n) {
    // Between quanta, runs of four alphabet characters make three bytes at
    // once, as many as the block has room for; the result is the same as
    // feeding them one by one.
    if (bits == -8 && !padding && n - i >= 4) {
      if (sizeof block - used < 3) flush();
      const size_t count = std::min((n - i) / 4, (sizeof block - used) / 3);
      const unsigned char* in = p + i;
      char* out = block + used;
      size_t done = 0;
      for (; done < count; ++done, in += 4, out += 3) {
        const uint32_t v = quanta.shifted[0][in[0]] | quanta.shifted[1][in[1]] |
                           quanta.shifted[2][in[2]] | quanta.shifted[3][in[3]];
        if (v >> 24) break;
        out[0] = static_cast<char>(v >> 16);
        out[1] = static_cast<char>((v >> 8) & 0xFF);
        out[2] = static_cast<char>(v & 0xFF);
      }
      i += 4 * done;
      used += 3 * done;
      if (done > 0) continue;
    }
    const int value = table[p[i++]];
    if (value >= 0) {
      if (padding) return false;  // nothing may follow padding
      accumulator = ((accumulator << 6) | static_cast<uint32_t>(value)) & 0xFFFFFF;
      bits += 6;
      if (bits >= 0) {
        if (used == sizeof block) flush();
        block[used++] = static_cast<char>((accumulator >> bits) & 0xFF);
        bits -= 8;
      }
    } else if (value == kBase64Padding) {
      padding = true;
    } else if (value != kBase64Blank) {
      return false;
    }
  }
  if (used > 0) flush();
  return true;  // leftover bits are dropped
}

bool SameContent(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y) return false;
  std::vector<char> bx(8192), by(8192);
  for (;;) {
    x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
    y.read(by.data(), static_cast<std::streamsize>(by.size()));
    if (x.gcount() != y.gcount() ||
        !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin())) {
      return false;
    }
    if (x.eof() || y.eof()) return x.eof() && y.eof() && !x.bad() && !y.bad();
    if (!x || !y) return false;
  }
}

// ---- the request body ----
//
// A document in "LabelContent" can be tens of megabytes of base64. Parsed the
// usual way it would be copied character by character into the JSON value
// (slow, and two more copies of the body in memory at the peak). So when the
// last top-level "LabelContent" member is a long string of plain printable
// ASCII (no escapes), its text is cut out of a copy of the body, the rest is
// parsed as strict JSON as always, and the text is used in place, inside the
// request's own buffer. Anything unusual takes the ordinary parse.

constexpr size_t kLongText = 4096;


struct ParsedBody {
  json body;
  std::optional<std::string_view> labelContent;  // set when cut out
};

size_t SkipBlanks(std::string_view s, size_t i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
  return i;
}

// End of the string whose opening quote is at i; npos when unterminated.
size_t SkipString(std::string_view s, size_t i) {
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == '"') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// End of the value starting at i, without judging it (the parse does).
size_t SkipValue(std::string_view s, size_t i) {
  if (i >= s.size()) return std::string_view::npos;
  if (s[i] == '"') return SkipString(s, i);
  if (s[i] == '{' || s[i] == '[') {
    int depth = 0;
    while (i < s.size()) {
      char c = s[i];
      if (c == '"') {
        i = SkipString(s, i);
        if (i == std::string_view::npos) return i;
        continue;
      }
      if (c == '{' || c == '[') ++depth;
      if ((c == '}' || c == ']') && --depth == 0) return i + 1;
      ++i;
    }
    return std::string_view::npos;
  }
  while (i < s.size() && std::string_view(",}] \t\r\n").find(s[i]) == std::string_view::npos) ++i;
  return i;
}

// Where a run of plain text ends: printable ASCII without quote or
// backslash. Eight bytes are tested at a time.
size_t EndOfPlainText(std::string_view s, size_t i) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  auto hasZeroByte = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  while (s.size() - i >= 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    const uint64_t special = (w & kHighs) |                   // 0x80 and above
                             ((w - kOnes * 0x20) & ~w & kHighs) |  // below 0x20
                             hasZeroByte(w ^ (kOnes * '"')) | hasZeroByte(w ^ (kOnes * '\\'));
    if (special) break;
    i += 8;
  }
  static const std::array<bool, 256> plain = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c) t[c] = c != '"' && c != '\\';
    return t;
  }();
  while (i < s.size() && plain[static_cast<unsigned char>(s[i])]) ++i;
  return i;
}

// Where the long plain text of the last top-level "LabelContent" lies, if
// the body has one: [begin, end) between its quotes.
std::optional<std::pair<size_t, size_t>> FindLongLabelContent(std::string_view s) {
  constexpr auto npos = std::string_view::npos;
  size_t i = SkipBlanks(s, 0);
  if (i >= s.size() || s[i] != '{') return std::nullopt;
  i = SkipBlanks(s, i + 1);
  std::optional<std::pair<size_t, size_t>> found;
  while (i < s.size() && s[i] == '"') {
    size_t keyEnd = SkipString(s, i);
    if (keyEnd == npos) return std::nullopt;
    std::string_view key = s.substr(i + 1, keyEnd - i - 2);
    if (key.find('\\') != npos) return std::nullopt;  // spelled with escapes: let the parser judge
    i = SkipBlanks(s, keyEnd);
    if (i >= s.size() || s[i] != ':') return std::nullopt;
    i = SkipBlanks(s, i + 1);
    bool skipped = false;
    if (key == "LabelContent") {
      found.reset();  // the last occurrence counts, as in the parsed value
      if (i < s.size() && s[i] == '"') {
        const size_t j = EndOfPlainText(s, i + 1);
        if (j < s.size() && s[j] == '"' && j - i - 1 >= kLongText) {
          found.emplace(i + 1, j);
          i = j + 1;  // the long text is not scanned a second time
          skipped = true;
        }
      }
    }
    if (!skipped) i = SkipValue(s, i);
    if (i == npos) return std::nullopt;
    i = SkipBlanks(s, i);
    if (i < s.size() && s[i] == ',') {
      i = SkipBlanks(s, i + 1);
      continue;
    }
    if (i < s.size() && s[i] == '}') break;
    return std::nullopt;
  }
  return found;
}

// The members the intake reads; the parse keeps no others.
const std::initializer_list<std::string_view> kPrintMembers = {
    "filePath", "fileExtension", "LabelContent", "PrinterName",
    "key",      "RequestTrackingNumber", "AutoScalePdfToPrinter"};

ParsedBody ParseBody(std::string_view text) {
  ParsedBody parsed;
  if (auto cut = FindLongLabelContent(text)) {
    std::string rest;
    rest.reserve(text.size() - (cut->second - cut->first));
    rest.append(text, 0, cut->first);
    rest.append(text, cut->second, std::string::npos);
    parsed.body = ParseJsonBody(rest, kPrintMembers);
    // The cut left an empty "LabelContent" in the right place, or the scan
    // misread the body: then the ordinary parse decides.
    const json* m = Member(parsed.body, "LabelContent");
    if (m && m->is_string() && m->get_ref<const std::string&>().empty()) {
      parsed.labelContent = text.substr(cut->first, cut->second - cut->first);
      return parsed;
    }
  }
  // A document spelled with escapes is parsed here: it must arrive whole.
  parsed.body = ParseJsonBody(text, kPrintMembers, {"LabelContent"});
  return parsed;
}
}  // namespace

std::string NormalizeExtension(std::string_view text) {
  size_t start = text.find_first_not_of('.');
  std::string out(start == std::string_view::npos ? std::string_view() : text.substr(start));
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool IsValidExtension(std::string_view extension) {
  if (extension.empty() || extension.size() > 16) return false;
  for (char c : extension) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3 / 4 + 3);
  uint64_t produced = 0;
  auto append = [&out](const char* data, size_t size) { out.append(data, size); };
  if (!DecodeBase64(text, append, produced)) return {};
  return out;
}

std::string StoreBase64Document(std::string_view base64Text, const std::string& extension,
                                std::string* md5, int64_t* size) {
  // The cached name is the digest of the text. A long text is digested on a
  // second thread while this one decodes, so the file is written under a
  // temporary name first (one at a time: the caller holds CacheMutex).
  std::string name;
  std::jthread hasher;
  if (base64Text.size() >= kLargeBody) {
    hasher = std::jthread([&name, base64Text] { name = platform::Md5HexOfText(base64Text); });
  } else {
    name = platform::Md5HexOfText(base64Text);
    if (name.empty()) throw std::runtime_error("Cannot calculate cache MD5");
  }

  fs::path folder = PathFromUtf8(ProgramFolder()) / kCacheFolderName;
  // Never a cached name: those have no inner dot.
  const std::string partial =
      PathToUtf8(folder / PathFromUtf8("intake." + extension + ".partial"));
  std::error_code ec;
  // A leftover of a crash (or anything planted under the name, a link
  // included) goes first: the file is only ever created anew.
  fs::remove(PathFromUtf8(partial), ec);

  // Decoded straight into the file, never whole in memory. The file is only
  // created once there is a byte to write, and a text that turns out not to be
  // base64 wins over a file that cannot be created: it is the earlier check.
  std::unique_ptr<platform::NewFile> out;
  bool openFailed = false, writeFailed = false;
  // The document's own digest comes along, so it need not be read back.
  platform::Md5Digest digest;
  std::string digestError;
  bool digestOk = md5 != nullptr && digest.Start(digestError);
  auto write = [&](const char* data, size_t size) {
    if (digestOk) digestOk = digest.Update(data, size, digestError);
    if (!out && !openFailed) {
      uint32_t createError = 0;
      out = platform::CreateNewFile(partial, createError);
      openFailed = !out;
    }
    if (out && !writeFailed) writeFailed = !out->Write(data, size);
  };
  // Removes the partial file on the paths that do not publish it.
  auto discard = [&] {
    if (out) {
      out->Close();
      out.reset();
      fs::remove(PathFromUtf8(partial), ec);
    }
  };
  uint64_t produced = 0;
  const bool decoded = DecodeBase64(base64Text, write, produced);
  if (hasher.joinable()) {
    hasher.join();
    if (name.empty()) {
      discard();
      throw std::runtime_error("Cannot calculate cache MD5");
    }
  }
  if (!decoded || produced == 0) {
    discard();
    return {};
  }
  if (openFailed) throw std::runtime_error("Cannot create file in sumatrapdfcache");
  if (writeFailed || !out->Close()) {
    out.reset();
    fs::remove(PathFromUtf8(partial), ec);
    throw std::runtime_error("Failed to write decoded file into sumatrapdfcache");
  }
  out.reset();
  const fs::path target = folder / PathFromUtf8(name + "." + extension);
  uint32_t moveError = 0;
  // A cached document is rewritten before every use, so its move need not
  // wait for the disk (on a busy disk that wait is tens of milliseconds).
  if (!platform::MoveFileReplacing(partial, PathToUtf8(target), moveError,
                                   platform::MoveDurability::kNoWait)) {
    // Windows refuses to replace a file another program has open. Same name
    // means same text; the copy there only counts if it is intact.
    bool intact = SameContent(target, PathFromUtf8(partial));
    fs::remove(PathFromUtf8(partial), ec);
    if (!intact) throw std::runtime_error("Failed to write decoded file into sumatrapdfcache");
  }
  std::array<uint8_t, 16> value{};
  if (digestOk && digest.Finish(value, digestError)) {
    *md5 = platform::HexOf(value);
    if (size) *size = static_cast<int64_t>(produced);
  }
  return PathToUtf8(target);
}

std::string ResolvePrinterName(const json& body, const PrintServices& services) {
  std::string printer = ReadString(body, "PrinterName", "");
  if (!printer.empty()) return printer;
  std::string key = ReadString(body, "key", "");
  if (!key.empty()) {
    std::vector<store::ConfigEntry> rows = services.listConfig("", key);
    if (!rows.empty() && !rows.front().value.empty()) return rows.front().value;
  }
  return services.resolveDefaultPrinter();
}

std::string ReadTrackingNumber(const json& body) {
  const json* m = Member(body, "RequestTrackingNumber");
  if (!m) return "";
  if (m->is_number_unsigned()) return std::to_string(static_cast<int64_t>(m->get<uint64_t>()));
  if (m->is_number_integer()) return std::to_string(m->get<int64_t>());
  if (m->is_string()) return m->get<std::string>();
  return "";
}

PrintOutcome HandlePrintRequest(std::string_view requestBody, const PrintServices& services) {
  if (ShuttingDown().load()) return Refusal("service is shutting down", -503, 503);
  std::string startTime = LocalTimestamp();
  try {
    // Everything holding a lock lives inside this block, so a lock is given
    // back before the exception reply is written.
    PrintRequest request;
    request.startTime = std::move(startTime);
    ParsedBody parsed = ParseBody(requestBody);
    json& body = parsed.body;
    // Before any file is opened or anything stored: what is kept stays bounded.
    for (const auto& [field, bound] : {std::pair{"filePath", kMaxPathBytes},
                                       std::pair{"PrinterName", kMaxNameBytes},
                                       std::pair{"key", kMaxNameBytes},
                                       std::pair{"RequestTrackingNumber", kMaxNameBytes}}) {
      const json* m = Member(body, field);
      if (m && m->is_string() && m->get_ref<const std::string&>().size() > bound) {
        return Refusal(TooLongText(field, bound).c_str(), -1, 400);
      }
    }

    std::string filePath = ReadString(body, "filePath", "");
    request.fromBase64 = filePath.empty();
    request.extension = NormalizeExtension(ReadString(body, "fileExtension", "pdf"));
    if (!IsValidExtension(request.extension)) {
      return Refusal("fileExtension 非法！", -1, 400);
    }

    if (request.fromBase64) {
      request.cacheLock = std::unique_lock<Mutex>(CacheMutex());
      CacheMutex().AssertHeld();  // taken through the unique_lock above
      std::string_view text;
      if (parsed.labelContent) {
        text = *parsed.labelContent;
      } else if (const json* m = Member(body, "LabelContent"); m && m->is_string()) {
        text = m->get_ref<const std::string&>();
      }
      // A header such as "data:application/pdf;base64," ends at the first comma.
      if (size_t comma = text.find(','); comma != std::string_view::npos) {
        text.remove_prefix(comma + 1);
      }
      if (text.empty()) {
        return Refusal("filePath 或 base64Data 必填！", -1, 200);
      }
      request.documentPath =
          StoreBase64Document(text, request.extension, &request.md5, &request.fileSize);
      if (request.documentPath.empty()) {
        return Refusal("Base64 解码失败或内容为空！", -1, 400);
      }
      // Large documents are not kept twice for the rest of the request.
      body.erase("LabelContent");
    } else {
      // The print program used to get the path with its quotes removed,
      // which names another file than the one checked and digested.
      if (filePath.find('"') != std::string::npos) {
        LogError("[Print] filePath refused (double quote in path): " + LogValue(filePath));
        return Refusal(kUnreadableDocument, -2, 200);
      }
      CallerDocument document;
      if (ReadCallerDocument(filePath, request.extension, services.clientGone, document) !=
          CallerDocumentResult::kRead) {
        return Refusal(kUnreadableDocument, -2, 200);
      }
      request.documentPath = std::move(document.copyPath);
      request.callerPath = filePath;
      request.md5 = std::move(document.md5);
      request.fileSize = document.size;
    }

    if (request.md5.empty()) {
      std::string refusal;
      request.md5 = platform::Md5HexOfFile(request.documentPath, request.fileSize, &refusal);
      if (!refusal.empty()) {
        LogError("[Print] filePath refused (" + refusal + "): " + LogValue(request.documentPath));
      }
    }
    if (request.md5.rfind("Error:", 0) == 0) {
      return Refusal(kUnreadableDocument, -2, 200);
    }
    request.trackingNumber = ReadTrackingNumber(body);
    request.printerName = ResolvePrinterName(body, services);
    if (request.printerName.empty()) {
      return Refusal("需要设置默认打印机！", -3, 200);
    }
    // Before the name reaches the spooler, the metrics helper or the print
    // program: a name of another host's queue would hand that host the
    // user's network logon.
    if (!IsPrintingAccountPrinter(request.printerName)) {
      return Refusal(kNotTheUsersPrinter, -3, 200);
    }
    request.autoScale = services.autoScalePdf();
    if (const json* m = Member(body, "AutoScalePdfToPrinter"); m && m->is_boolean()) {
      request.autoScale = m->get<bool>();
    }
    return ExecutePrint(std::move(request), services);
  } catch (const std::exception& e) {
    std::string description = BoundedErrorText(e.what());
    LogError("Exception: " + LogValue(description));
    return {200, json{{"msg", description}, {"status", "error"}}};
  }
}

}  // namespace tb::printing
