#pragma once
// Request bodies as JSON: parsed strictly, with their nesting and their
// memory bounded, and parser messages made safe to answer and to log.
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tb {

// Far beyond any real request; past it a body is refused like malformed JSON.
inline constexpr int kMaxJsonDepth = 64;

// How much of the request a parser message may quote.
inline constexpr std::size_t kMaxQuotedBytes = 256;

class JsonTooDeep : public std::runtime_error {
 public:
  JsonTooDeep();
};

// Strict parse (no comments) that keeps only what a route reads: for a
// top-level object, the members named in `members`; every nested container
// stays but is left empty, since routes only test a member's type. Memory
// thus stays near the body's own size whatever its shape. Throws the JSON
// library's parse_error for malformed text and JsonTooDeep for nesting
// deeper than kMaxJsonDepth. Any thread; texts of 1 MiB and more wait for
// one another, so only one large parse holds its memory at a time. A string
// longer than 64 KiB is kept cut to about that length (longer than any value
// bound) unless it is the value of a member named in `whole`.
nlohmann::json ParseJsonBody(std::string_view text, std::initializer_list<std::string_view> members,
                             std::initializer_list<std::string_view> whole = {});

// Strict parse with only the nesting bounded, for whole documents from
// outside the process (the metrics helper's answer). Throws and waits as
// ParseJsonBody does.
nlohmann::json ParseJsonDocument(std::string_view text);

// An exception text fit for a reply and a log line: what the parser quotes
// from the request ("last read: '...'") is cut to kMaxQuotedBytes, the whole
// text to a few hundred bytes more, and bytes that are not UTF-8 are replaced.
// Pure: any thread.
std::string BoundedErrorText(std::string_view what);

}  // namespace tb
