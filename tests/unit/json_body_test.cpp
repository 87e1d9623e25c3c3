#include "base/json_body.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using nlohmann::json;

std::string Nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

std::string ParseFailure(const std::string& text) {
  try {
    tb::ParseJsonBody(text, {"value"}, {"value"});
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(JsonBody, NestingIsBoundedAt64LevelsWhereverItIs) {
  EXPECT_NO_THROW(tb::ParseJsonBody(Nested(64), {}));
  EXPECT_THROW(tb::ParseJsonBody(Nested(65), {}), tb::JsonTooDeep);
  // Inside a member that is not kept, and in a document parsed whole.
  EXPECT_THROW(tb::ParseJsonBody("{\"other\":" + Nested(64) + "}", {"value"}), tb::JsonTooDeep);
  EXPECT_NO_THROW(tb::ParseJsonDocument(Nested(64)));
  EXPECT_THROW(tb::ParseJsonDocument("{\"a\":" + Nested(64) + "}"), tb::JsonTooDeep);
  // Brackets inside strings are text.
  EXPECT_NO_THROW(tb::ParseJsonBody("{\"value\":\"" + std::string(100, '[') + "\"}", {"value"}));
}

TEST(JsonBody, KeepsOnlyTheNamedMembersWithTheirTypes) {
  const json body = tb::ParseJsonBody(
      R"({"key":"a","value":{"x":[1,2]},"list":[1],"key":"b","n":1.5,"value2":null})",
      {"key", "value", "n"});
  EXPECT_EQ(body.size(), 3u);
  EXPECT_EQ(body["key"], "b");  // the last of a repeated member, as in a full parse
  EXPECT_TRUE(body["value"].is_object());
  EXPECT_EQ(body["n"], 1.5);
  // A member of the wrong type still fails as it would: the value() of a
  // string from an object.
  EXPECT_THROW(body.value("value", std::string()), json::type_error);
  // Not an object: the type stays, the elements go.
  EXPECT_TRUE(tb::ParseJsonBody("[1,2,3]", {"key"}).is_array());
  EXPECT_EQ(tb::ParseJsonBody("\"text\"", {"key"}), "text");
  // Still strict: comments and trailing text are malformed.
  EXPECT_THROW(tb::ParseJsonBody("{} // c", {}), json::parse_error);
  EXPECT_THROW(tb::ParseJsonBody("{}x", {}), json::parse_error);
}

// Long runs are read bounded; what a route keeps never changes.
TEST(JsonBody, LongRunsAreBoundedButKeptValuesStayWhole) {
  const std::string blanks(3 << 20, ' ');
  const std::string big(2 << 20, 'A');
  struct Case {
    const char* what;
    std::string text;
    bool malformed;
    std::string value;  // "value" after the parse, when well-formed
  };
  const Case cases[] = {
      {"blanks around and between", blanks + "{" + blanks + "\"value\":" + blanks + "\"v\"" + blanks + "}" + blanks,
       false, "v"},
      {"a member needed whole", "{\"value\":\"" + big + "\"}", false, big},
      {"a member spelled with escapes", "{\"val\\u0075e\":\"" + big + "\"}", false, big},
      {"a kept member not needed whole", "{\"other\":\"" + big + "\"}", false, ""},
      {"a long other member", "{\"other\":\"" + big + "\",\"value\":\"v\"}", false, "v"},
      {"a long string deeper down", "{\"value\":\"v\",\"o\":[\"" + big + "\"]}", false, "v"},
      {"a long escaped other member", "{\"other\":\"" + std::string(1 << 20, '\\') + "\\\"\",\"value\":\"v\"}",
       false, "v"},
      {"valid text past the cut", "{\"other\":\"" + big + "\u00e9\xc3\xa9\xf0\x9f\x98\x80\\ud83d\\ude00\\n" + big +
       "\",\"value\":\"v\"}", false, "v"},
      {"a control byte past the cut", "{\"other\":\"" + big + "\x01\"}", true, ""},
      {"ill-formed UTF-8 past the cut", "{\"other\":\"" + big + "\xed\xa0\x80\"}", true, ""},
      {"a bad escape past the cut", "{\"other\":\"" + big + "\\q\"}", true, ""},
      {"a lone surrogate past the cut", "{\"other\":\"" + big + "\\udc00\"}", true, ""},
      {"a very long number", "{\"value\":" + std::string(2 << 20, '1') + "}", true, ""},
      {"bare structure", "[" + [] {
         std::string s;
         for (int i = 0; i < (1 << 19); ++i) s += "{},";
         return s;
       }() + "{}]", true, ""},
  };
  for (const Case& c : cases) {
    if (c.malformed) {
      EXPECT_THROW(tb::ParseJsonBody(c.text, {"value"}, {"value"}), json::exception) << c.what;
      continue;
    }
    json body;
    ASSERT_NO_THROW(body = tb::ParseJsonBody(c.text, {"value", "other"}, {"value"})) << c.what;
    EXPECT_EQ(body.value("value", std::string()), c.value) << c.what;
    // Cut, but still longer than any bound a route checks.
    if (body.contains("other")) {
      EXPECT_GT(body["other"].get<std::string>().size(), 4096u) << c.what;
      EXPECT_LT(body["other"].get<std::string>().size(), 128u * 1024) << c.what;
    }
  }
}

TEST(JsonBody, ErrorTextKeepsTheMessageButCutsTheQuotedToken) {
  const std::string what = ParseFailure("{\"value\":\"" + std::string(100000, 'x') + "\x01\"}");
  ASSERT_NE(what.find("last read: '"), std::string::npos);
  const std::string text = tb::BoundedErrorText(what);
  EXPECT_LT(text.size(), 1024u);
  EXPECT_EQ(text.rfind("[json.exception.parse_error.101] parse error at line 1, column ", 0), 0u) << text;
  EXPECT_NE(text.find("control character U+0001 (SOH) must be escaped"), std::string::npos);
  EXPECT_NE(text.find("last read: '\"xxxx"), std::string::npos);
  EXPECT_EQ(text.back(), '\'');
  // Short quotes are left exactly as the parser wrote them.
  const std::string shortWhat = ParseFailure("{\"value\":tru}");
  EXPECT_EQ(tb::BoundedErrorText(shortWhat), shortWhat);
}

TEST(JsonBody, ErrorTextWithQuotesInTheTokenAndAnExpectationStaysBounded) {
  std::string what = "[x] parse error: syntax error - bad; last read: '" +
                     std::string(5000, '\'') + "'; expected ':'";
  const std::string text = tb::BoundedErrorText(what);
  EXPECT_LT(text.size(), 1024u);
  EXPECT_NE(text.find("...'; expected ':'"), std::string::npos) << text;
}

TEST(JsonBody, ErrorTextIsAlwaysValidUtf8) {
  const std::string what = ParseFailure("{\"value\":\"ab\xff\"}");
  ASSERT_NE(what.find('\xff'), std::string::npos);
  const std::string text = tb::BoundedErrorText(what);
  EXPECT_NO_THROW(json(text).dump());
  EXPECT_NE(text.find("ill-formed UTF-8 byte"), std::string::npos);
  // A cut never splits a character.
  std::string chinese;
  for (int i = 0; i < 400; ++i) chinese += "打";
  const std::string cut = tb::BoundedErrorText("last read: '" + chinese + "'");
  EXPECT_NO_THROW(json(cut).dump());
  EXPECT_EQ(cut.find("\xEF\xBF\xBD"), std::string::npos);  // nothing had to be replaced
}

}  // namespace
