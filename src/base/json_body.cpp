#include "base/json_body.h"

#include <algorithm>
#include <mutex>
#include <optional>

namespace tb {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxErrorText = 1024;

// Longest prefix of at most `limit` bytes that does not end inside a UTF-8
// sequence.
std::string_view CutAtCharacter(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t keep = limit;
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  return text.substr(0, keep);
}

std::string ReplaceInvalidUtf8(const std::string& text) {
  const std::string quoted = json(text).dump(-1, ' ', false, json::error_handler_t::replace);
  return json::parse(quoted).get<std::string>();
}

// A long malformed token costs the parser several copies of itself (its
// buffers, the escaped quote in its message and the message's temporaries):
// about eight times a 64 MiB body. Large texts are therefore parsed one at a
// time, so hostile requests on every handler cannot add that up; small
// bodies, which are all that well-formed requests send to the parser (the
// document text of a print is cut out before), never wait.
constexpr std::size_t kLargeParseBytes = 1 << 20;

std::optional<std::unique_lock<std::mutex>> LargeParseTurn(std::string_view text) {
  static std::mutex gate;
  if (text.size() < kLargeParseBytes) return std::nullopt;
  return std::unique_lock<std::mutex>(gate);
}

}  // namespace

JsonTooDeep::JsonTooDeep()
    : std::runtime_error("JSON nesting deeper than " + std::to_string(kMaxJsonDepth) +
                         " levels") {}

json ParseJsonBody(std::string_view text, std::initializer_list<std::string_view> members) {
  bool topIsObject = false;
  json::parser_callback_t keep = [&](int depth, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        if (depth >= kMaxJsonDepth) throw JsonTooDeep();
        if (depth == 0) topIsObject = event == json::parse_event_t::object_start;
        return depth == 0 || (depth == 1 && topIsObject);
      case json::parse_event_t::key:
        return depth == 1 && std::find(members.begin(), members.end(),
                                       parsed.get_ref<const std::string&>()) != members.end();
      case json::parse_event_t::value:
        return depth == 0 || (depth == 1 && topIsObject);
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        return true;
    }
    return true;
  };
  auto turn = LargeParseTurn(text);
  return json::parse(text.data(), text.data() + text.size(), keep, true, false);
}

json ParseJsonDocument(std::string_view text) {
  json::parser_callback_t bounded = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start ||
         event == json::parse_event_t::array_start) && depth >= kMaxJsonDepth) {
      throw JsonTooDeep();
    }
    return true;
  };
  auto turn = LargeParseTurn(text);
  return json::parse(text.data(), text.data() + text.size(), bounded, true, false);
}

std::string BoundedErrorText(std::string_view what) {
  constexpr std::string_view kQuoteStart = "last read: '";
  std::string text;
  const std::size_t open = what.find(kQuoteStart);
  if (open != std::string_view::npos) {
    const std::size_t begin = open + kQuoteStart.size();
    // The quote is followed by "; expected ..." or ends the text; the quoted
    // token itself may contain quotes.
    std::size_t end = what.rfind("'; expected ");
    if (end == std::string_view::npos || end < begin) end = what.rfind('\'');
    if (end != std::string_view::npos && end >= begin && end - begin > kMaxQuotedBytes) {
      text.append(what.substr(0, begin));
      text.append(CutAtCharacter(what.substr(begin, end - begin), kMaxQuotedBytes));
      text.append("...");
      text.append(CutAtCharacter(what.substr(end), kMaxErrorText));
    }
  }
  if (text.empty()) text.assign(what);
  if (text.size() > kMaxErrorText + kMaxQuotedBytes) {
    text = std::string(CutAtCharacter(text, kMaxErrorText + kMaxQuotedBytes)) + "...";
  }
  return ReplaceInvalidUtf8(text);
}

}  // namespace tb
