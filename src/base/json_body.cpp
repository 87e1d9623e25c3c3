#include "base/json_body.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
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

// The parser keeps every byte since its last string or number for its
// error message, and every byte of the token it reads: a body of blanks, of
// bare structure or one long token would cost it several times the body.
// Read through this, a run of blanks ends after kKeptBlanks; a string is cut
// after kKeptStringBytes (at a character, outside an escape; still longer
// than any bound a route checks) unless it is the value of a member the
// caller needs whole; more than kMaxTokenRun bytes without a string or a number,
// or a number that long, end the text early, which the parser reports as
// malformed. Small well-formed bodies read exactly as they are.
constexpr std::size_t kKeptBlanks = 4096;
constexpr std::size_t kKeptStringBytes = 64 * 1024;
constexpr std::size_t kMaxTokenRun = 1 << 20;
constexpr std::size_t kMaxKeyBytes = 256;

class BoundedReader {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  BoundedReader() = default;  // the end
  BoundedReader(std::string_view text, const std::initializer_list<std::string_view>* whole)
      : text_(text), whole_(whole) {
    Settle();
  }

  const char& operator*() const { return text_[pos_]; }
  BoundedReader& operator++() {
    Consume(text_[pos_++]);
    Settle();
    return *this;
  }
  bool operator==(const BoundedReader& other) const { return AtEnd() == other.AtEnd(); }
  bool operator!=(const BoundedReader& other) const { return !(*this == other); }

 private:
  static bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  static bool NumberStart(char c) { return c == '-' || (c >= '0' && c <= '9'); }
  bool AtEnd() const { return pos_ >= text_.size(); }
  void Stop() { pos_ = text_.size(); }

  // A name spelled with escapes may be any member.
  bool WholeMember() const {
    if (key_.find('\\') != std::string::npos) return true;
    return std::find(whole_->begin(), whole_->end(), key_) != whole_->end();
  }

  // Book-keeping for the byte just handed out.
  void Consume(char c) {
    if (inString_) {
      ++stringBytes_;
      if (escaped_) {
        escaped_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      } else if (c == '"') {
        inString_ = false;
        run_ = 0;
        return;
      }
      if (inKey_ && key_.size() < kMaxKeyBytes) key_.push_back(c);
      return;
    }
    blanks_ = Blank(c) ? blanks_ + 1 : 0;
    if (c == '"') {
      inString_ = true;
      stringBytes_ = 0;
      inNumber_ = false;
      run_ = 0;
      const bool memberLevel = depth_ == 1 && topIsObject_;
      inKey_ = memberLevel && expectKey_;
      if (inKey_) key_.clear();
      wholeString_ = memberLevel && !expectKey_ && WholeMember();
      return;
    }
    switch (c) {
      case '{':
      case '[':
        if (depth_ == 0) topIsObject_ = c == '{';
        ++depth_;
        expectKey_ = c == '{';
        break;
      case '}':
      case ']':
        if (depth_ > 0) --depth_;
        break;
      case ',':
        expectKey_ = true;
        break;
      case ':':
        expectKey_ = false;
        break;
      default:
        break;
    }
    const bool numberByte = NumberStart(c) || c == '.' || c == 'e' || c == 'E' || c == '+';
    if (NumberStart(c) && !inNumber_) run_ = 0;  // the parser starts its record anew
    inNumber_ = inNumber_ ? numberByte : NumberStart(c);
    if (++run_ > kMaxTokenRun) Stop();
  }

  // Moves to the next byte worth handing out.
  void Settle() {
    if (AtEnd()) return;
    if (inString_) {
      if (!wholeString_ && stringBytes_ >= kKeptStringBytes && !escaped_ && pos_ >= plainUntil_ &&
          (static_cast<unsigned char>(text_[pos_]) & 0xC0) != 0x80) {
        SkipRestOfString();
      }
      return;
    }
    if (blanks_ >= kKeptBlanks) {
      while (!AtEnd() && Blank(text_[pos_])) ++pos_;
    }
  }

  // Leaves out the rest of a long string up to its closing quote, checking
  // what it leaves out as the parser would: at the first control byte, bad
  // escape or ill-formed UTF-8 it stops there, and the parser, handed that
  // sequence, reports it.
  void SkipRestOfString() {
    const std::size_t end = text_.size();
    auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text_[i]); };
    auto hex4 = [&](std::size_t i, unsigned& value) {
      if (i + 4 > end) return false;
      value = 0;
      for (std::size_t k = i; k < i + 4; ++k) {
        const char h = text_[k];
        const int d = h >= '0' && h <= '9' ? h - '0'
                      : h >= 'a' && h <= 'f' ? h - 'a' + 10
                      : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
        if (d < 0) return false;
        value = value * 16 + static_cast<unsigned>(d);
      }
      return true;
    };
    while (pos_ < end) {
      const unsigned char c = byteAt(pos_);
      std::size_t length = 0;  // of a well-formed sequence starting here; 0: stop
      if (c == '"' || c < 0x20) {
        length = 0;
      } else if (c == '\\') {
        const char e = pos_ + 1 < end ? text_[pos_ + 1] : '\0';
        unsigned unit = 0, low = 0;
        if (std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos && e != '\0') {
          length = 2;
        } else if (e == 'u' && hex4(pos_ + 2, unit)) {
          if (unit < 0xD800 || unit > 0xDFFF) {
            length = 6;
          } else if (unit <= 0xDBFF && pos_ + 7 < end && text_[pos_ + 6] == '\\' &&
                     text_[pos_ + 7] == 'u' && hex4(pos_ + 8, low) && low >= 0xDC00 && low <= 0xDFFF) {
            length = 12;
          }
        }
      } else if (c < 0x80) {
        length = 1;
      } else {
        // RFC 3629: the lead byte fixes the count and the first follower's range.
        unsigned char lo = 0x80, hi = 0xBF;
        std::size_t followers = 0;
        if (c >= 0xC2 && c <= 0xDF) {
          followers = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
          followers = 2;
          if (c == 0xE0) lo = 0xA0;
          if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
          followers = 3;
          if (c == 0xF0) lo = 0x90;
          if (c == 0xF4) hi = 0x8F;
        }
        bool ok = followers > 0 && pos_ + followers < end;
        for (std::size_t k = 1; ok && k <= followers; ++k) {
          const unsigned char f = byteAt(pos_ + k);
          ok = k == 1 ? f >= lo && f <= hi : f >= 0x80 && f <= 0xBF;
        }
        if (ok) length = followers + 1;
      }
      if (length == 0) {
        if (c != '"') plainUntil_ = pos_ + 12;  // the parser reads this sequence itself
        return;
      }
      pos_ += length;
    }
  }

  std::string_view text_;
  const std::initializer_list<std::string_view>* whole_ = nullptr;
  std::size_t pos_ = 0;
  bool inString_ = false;
  bool escaped_ = false;
  bool inNumber_ = false;
  bool inKey_ = false;
  bool wholeString_ = false;
  bool topIsObject_ = false;
  bool expectKey_ = false;
  std::size_t depth_ = 0;
  std::size_t stringBytes_ = 0;
  std::size_t run_ = 0;
  std::size_t blanks_ = 0;
  std::size_t plainUntil_ = 0;
  std::string key_;
};

}  // namespace

JsonTooDeep::JsonTooDeep()
    : std::runtime_error("JSON nesting deeper than " + std::to_string(kMaxJsonDepth) +
                         " levels") {}

json ParseJsonBody(std::string_view text, std::initializer_list<std::string_view> members,
                   std::initializer_list<std::string_view> whole) {
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
  return json::parse(BoundedReader(text, &whole), BoundedReader(), keep, true, false);
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
