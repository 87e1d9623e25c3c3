#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "platform/md5.h"
#include "print_fixture.h"
#include "platform/file_ops.h"
#include "printing/document_cache.h"
#include "support/print_programs.h"

namespace {

using nlohmann::json;
using tb::platform::Md5HexOfText;
using tb::printing::Base64Decode;
using tbtest::PrintTest;

const char* kRequired = "filePath 或 base64Data 必填！";
const char* kBadExtension = "fileExtension 非法！";
const char* kBadBase64 = "Base64 解码失败或内容为空！";

json Error(const char* message, int code) {
  return json{{"status", "error"}, {"message", message}, {"code", code}};
}

std::string Encode(const std::string& bytes) { return tbtest::Base64Encode(bytes); }

// ---- base64 ----

TEST(Base64Decode, PaddingAndLengthAreNotChecked) {
  EXPECT_EQ(Base64Decode("QUJD"), "ABC");
  EXPECT_EQ(Base64Decode("QQ"), "A");
  EXPECT_EQ(Base64Decode("QQ=="), "A");
  EXPECT_EQ(Base64Decode("QQ="), "A");
  EXPECT_EQ(Base64Decode("Q"), "");
  EXPECT_EQ(Base64Decode("/+8="), std::string("\xff\xef"));
}

TEST(Base64Decode, BlanksAreSkippedAnythingElseFails) {
  EXPECT_EQ(Base64Decode(" Q U\tJ\r\nD "), "ABC");
  EXPECT_EQ(Base64Decode("QQ==QQ"), "");   // data after padding
  EXPECT_EQ(Base64Decode("QUJDQQ==QUJD"), "");
  EXPECT_EQ(Base64Decode("QUJD QUJDQUJD\nQUJD"), "ABCABCABCABC");
  EXPECT_EQ(Base64Decode("QQ== "), "A");   // blanks after padding are fine
  EXPECT_EQ(Base64Decode("QU*D"), "");
  EXPECT_EQ(Base64Decode("QU-_"), "");     // URL alphabet is not accepted
  EXPECT_EQ(Base64Decode("QUJD,QUJD"), "");
  EXPECT_EQ(Base64Decode(std::string("QU\0JD", 5)), "");
  EXPECT_EQ(Base64Decode("QU\vJD"), "");   // only space, tab, CR and LF are blanks
}

TEST(Base64Decode, RandomDocumentsWithLineBreaksRoundTrip) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(rng() % 300, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    std::string text = Encode(bytes), wrapped;
    for (size_t i = 0; i < text.size(); i += 76) wrapped += text.substr(i, 76) + "\r\n";
    ASSERT_EQ(Base64Decode(wrapped), bytes) << round;
  }
}

// ---- the order of the checks ----

TEST_F(PrintTest, StoppingDaemonAnswers503WithoutLookingAtTheBody) {
  tb::ShuttingDown().store(true);
  EXPECT_EQ(Post(std::string("not json at all")), Error("service is shutting down", -503));
  EXPECT_EQ(status, 503);
  EXPECT_TRUE(events.All().empty());
  EXPECT_TRUE(Records().empty());
}

TEST_F(PrintTest, BodiesThatAreNotJsonGetTheExceptionReply) {
  for (std::string body : {"", "{", "{\"filePath\": 1,}", "{/*c*/}", "LabelContent"}) {
    json reply = Post(body);
    EXPECT_EQ(status, 200) << body;
    EXPECT_EQ(reply["status"], "error") << body;
    ASSERT_TRUE(reply["msg"].is_string()) << body;
    EXPECT_NE(reply["msg"].get<std::string>().find("parse_error"), std::string::npos) << body;
    EXPECT_EQ(reply.size(), 2u) << body;
    EXPECT_EQ(errorLog.rfind("Exception: ", 0), 0u) << errorLog;
  }
  EXPECT_TRUE(events.All().empty());
}

TEST_F(PrintTest, InvalidUtf8InTheBodyStillGetsAValidJsonReply) {
  json reply = Post(std::string("{\"filePath\": \"C:\\\\a\xC3(.pdf\"}"));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(reply["status"], "error");
  EXPECT_TRUE(reply["msg"].is_string());
}

TEST_F(PrintTest, NonObjectBodiesAreObjectsWithoutMembers) {
  EXPECT_EQ(Post(std::string("[]")), Error(kRequired, -1));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(Post(std::string("5")), Error(kRequired, -1));
  EXPECT_EQ(Post(std::string("null")), Error(kRequired, -1));
  EXPECT_EQ(Post(std::string("\"LabelContent\"")), Error(kRequired, -1));
}

TEST_F(PrintTest, ExtensionIsNormalisedThenChecked) {
  struct Case {
    json extension;
    std::string cachedAs;  // empty: refused with 400
  } cases[] = {
      {".PDF", "pdf"},
      {"..Png", "png"},
      {"abcdefghij012345", "abcdefghij012345"},
      {5, "pdf"},
      {nullptr, "pdf"},
      {"", ""},
      {".", ""},
      {"p.df", ""},
      {"pdf ", ""},
      {"abcdefghij0123456", ""},
      {"pdf.", ""},
      {"pdé", ""},
      {"PD\xE2\x84\xAA", ""},  // KELVIN SIGN stays non-ASCII
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(folder / "sumatrapdfcache");
    std::filesystem::create_directory(folder / "sumatrapdfcache");
    json reply = Post(json{{"LabelContent", "QUJD"}, {"fileExtension", c.extension}});
    if (c.cachedAs.empty()) {
      EXPECT_EQ(reply, Error(kBadExtension, -1)) << c.extension;
      EXPECT_EQ(status, 400) << c.extension;
      EXPECT_TRUE(CacheFiles().empty());
    } else {
      EXPECT_EQ(reply["status"], "success") << c.extension << reply;
      EXPECT_EQ(CacheFiles(), std::vector<std::string>{Md5HexOfText("QUJD") + "." + c.cachedAs});
    }
  }
}

TEST_F(PrintTest, ExtensionErrorComesBeforeAMissingDocumentAndIsCheckedForPaths) {
  EXPECT_EQ(Post(json{{"fileExtension", "x.y"}}), Error(kBadExtension, -1));
  EXPECT_EQ(status, 400);
  tbtest::WriteFile(folder / "doc.pdf", "%PDF");
  EXPECT_EQ(Post(json{{"filePath", folder / "doc.pdf"}, {"fileExtension", ""}}),
            Error(kBadExtension, -1));
  EXPECT_TRUE(launcher.Launches().empty());
}

// ---- base64 documents ----

TEST_F(PrintTest, DataUrlHeaderIsDroppedBeforeHashingAndDecoding) {
  json reply = Post(json{{"LabelContent", "data:application/pdf;base64,JVBERi0xLjQ="}});
  EXPECT_EQ(reply, (json{{"status", "success"}, {"md5sum", Md5HexOfText("%PDF-1.4")}}));
  std::string name = Md5HexOfText("JVBERi0xLjQ=") + ".pdf";
  EXPECT_EQ(CacheFiles(), std::vector<std::string>{name});
  EXPECT_EQ(tbtest::ReadFile(CachePath(name)), "%PDF-1.4");
}

TEST_F(PrintTest, EmptyOrUndecodableContent) {
  EXPECT_EQ(Post(json{{"LabelContent", ","}}), Error(kRequired, -1));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(Post(json{{"LabelContent", ""}}), Error(kRequired, -1));
  EXPECT_EQ(Post(json{{"LabelContent", 42}}), Error(kRequired, -1));
  EXPECT_EQ(Post(json{{"LabelContent", "data:a,QUJD,QUJD"}}), Error(kBadBase64, -1));
  EXPECT_EQ(status, 400);
  EXPECT_EQ(Post(json{{"LabelContent", "QQ==QQ"}}), Error(kBadBase64, -1));
  EXPECT_EQ(Post(json{{"LabelContent", "Q"}}), Error(kBadBase64, -1));  // decodes to nothing
  EXPECT_EQ(Post(json{{"LabelContent", "   "}}), Error(kBadBase64, -1));
  EXPECT_TRUE(CacheFiles().empty());
  EXPECT_TRUE(launcher.Launches().empty());
  EXPECT_TRUE(Records().empty());
}

TEST_F(PrintTest, LineBrokenBase64StoresTheSameBytes) {
  // Long enough for the long-text reading, which leaves escaped texts to the parser.
  std::string bytes(6000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  std::string text = Encode(bytes), wrapped;
  for (size_t i = 0; i < text.size(); i += 76) wrapped += text.substr(i, 76) + "\n";
  json reply = Post(json{{"LabelContent", wrapped}});
  EXPECT_EQ(reply["md5sum"], Md5HexOfText(bytes));
  EXPECT_EQ(tbtest::ReadFile(CachePath(Md5HexOfText(wrapped) + ".pdf")), bytes);
}

// Long texts are read in place instead of through the JSON value; the
// request must mean exactly what it means to the parser.
TEST_F(PrintTest, LongContentMeansWhatTheParserSays) {
  std::string bytes(9000, 'x');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
  const std::string big = Encode(bytes);
  const std::string md5 = Md5HexOfText(bytes);
  auto post = [&](const std::string& body) { return Post(body); };

  EXPECT_EQ(post("  {\n \"LabelContent\" :\t\"" + big + "\" , \"PrinterName\": \"P\" }  ")["md5sum"], md5);
  EXPECT_EQ(tbtest::ReadFile(CachePath(Md5HexOfText(big) + ".pdf")), bytes);
  // The last member of a name counts, at the top level only.
  EXPECT_EQ(post("{\"LabelContent\": \"" + big + "\", \"LabelContent\": \"QUJD\"}")["md5sum"],
            Md5HexOfText("ABC"));
  EXPECT_EQ(post("{\"LabelContent\": \"QUJD\", \"LabelContent\": \"" + big + "\"}")["md5sum"], md5);
  EXPECT_EQ(post("{\"x\": {\"LabelContent\": \"" + big + "\"}, \"LabelContent\": \"QUJD\"}")["md5sum"],
            Md5HexOfText("ABC"));
  EXPECT_EQ(post("{\"Label\\u0043ontent\": \"" + big + "\"}")["md5sum"], md5);
  EXPECT_EQ(post("{\"LabelContent\": \"data:application/pdf;base64," + big + "\"}")["md5sum"], md5);
  // Syntax errors anywhere still fail the whole body.
  for (const std::string& broken :
       {"{\"LabelContent\": \"" + big + "\",}", "{\"LabelContent\": \"" + big + "\"} x",
        "{\"LabelContent\": \"" + big + "\" \"a\": 1}", "{\"LabelContent\": \"" + big,
        "{\"a\": tru, \"LabelContent\": \"" + big + "\"}"}) {
    json reply = post(broken);
    EXPECT_TRUE(reply.contains("msg")) << broken.substr(0, 40) << " ... " << reply;
  }
  // Bytes the fast reading does not take go through the parser.
  EXPECT_EQ(post("{\"LabelContent\": \"" + big.substr(0, 5000) + "\u00e9" + big.substr(5000) + "\"}"),
            Error(kBadBase64, -1));
  EXPECT_TRUE(post("{\"LabelContent\": \"" + big.substr(0, 5000) + "\x01" + big.substr(5000) + "\"}")
                  .contains("msg"));
  // An escaped "/" is base64 too (six more bits, dropped at the end).
  EXPECT_EQ(post("{\"LabelContent\": \"" + big + "\\/\"}")["md5sum"], md5);
}

TEST_F(PrintTest, SameTextIsRewrittenEveryTimeAndAnotherExtensionIsAnotherFile) {
  const std::string name = Md5HexOfText("QUJD");
  Post(json{{"LabelContent", "QUJD"}});
  // Damage the cached copy: the next request must not print the damaged one.
  tbtest::WriteFile(CachePath(name + ".pdf"), "AB");
  Post(json{{"LabelContent", "QUJD"}});
  EXPECT_EQ(tbtest::ReadFile(CachePath(name + ".pdf")), "ABC");
  Post(json{{"LabelContent", "QUJD"}, {"fileExtension", "png"}});
  // Exactly these two: no temporary file is left behind.
  EXPECT_EQ(CacheFiles(), (std::vector<std::string>{name + ".pdf", name + ".png"}));
  EXPECT_EQ(Records().size(), 3u);
}

TEST_F(PrintTest, ReplacingTheCachedFileKeepsAnEarlierReaderIntact) {
  const std::string path = CachePath(Md5HexOfText("QUJD") + ".pdf");
  Post(json{{"LabelContent", "QUJD"}});
  std::ifstream earlier(path, std::ios::binary);  // a print program still reading
  Post(json{{"LabelContent", "QUJD"}});
  std::string seen((std::istreambuf_iterator<char>(earlier)), std::istreambuf_iterator<char>());
  EXPECT_EQ(seen, "ABC");
  EXPECT_EQ(tbtest::ReadFile(path), "ABC");
}

TEST_F(PrintTest, UndecodableContentLeavesNoFileBehind) {
  // The failure comes late, after much of the document was decoded.
  std::string text = Encode(std::string(300000, 'a')) + "*";
  EXPECT_EQ(Post(json{{"LabelContent", text}}), Error(kBadBase64, -1));
  EXPECT_TRUE(CacheFiles().empty());
}

TEST_F(PrintTest, CacheWriteFailuresAreExceptionReplies) {
  std::filesystem::remove_all(folder / "sumatrapdfcache");  // nowhere to write
  // Undecodable text is the earlier check and still wins.
  EXPECT_EQ(Post(json{{"LabelContent", Encode(std::string(100000, 'a')) + "*"}}), Error(kBadBase64, -1));
  EXPECT_EQ(Post(json{{"LabelContent", "QUJD"}}),
            (json{{"status", "error"}, {"msg", "Cannot create file in sumatrapdfcache"}}));
  EXPECT_EQ(status, 200);
  EXPECT_NE(errorLog.find("Exception: Cannot create file in sumatrapdfcache"), std::string::npos);
  // The cache lock was given back on the way out.
  ASSERT_TRUE(tb::printing::CacheMutex().try_lock());
  tb::printing::CacheMutex().unlock();
}

TEST_F(PrintTest, PathWinsOverContentWhichIsNotEvenDecoded) {
  tbtest::WriteFile(folder / "label.pdf", "%PDF-1.7 label");
  json reply = Post(json{{"filePath", folder / "label.pdf"}, {"LabelContent", "!!not base64!!"}});
  EXPECT_EQ(reply, (json{{"status", "success"}, {"md5sum", Md5HexOfText("%PDF-1.7 label")}}));
  // Only the copy of what was read from the path.
  EXPECT_EQ(CacheFiles(),
            std::vector<std::string>{"path-" + Md5HexOfText("%PDF-1.7 label") + ".pdf"});
  ASSERT_EQ(Records().size(), 1u);
  EXPECT_EQ(Records()[0], Md5HexOfText("%PDF-1.7 label") + "||" + (folder / "label.pdf") +
                              "|14|Default Printer|0");
}

TEST_F(PrintTest, UnreadablePathDocument) {
  EXPECT_EQ(Post(json{{"filePath", folder / "missing.pdf"}}),
            Error("读取打印文件失败！", -2));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(Post(json{{"filePath", folder.path()}}), Error("读取打印文件失败！", -2));
  EXPECT_TRUE(Records().empty());
  EXPECT_TRUE(launcher.Launches().empty());
  EXPECT_EQ(errorLog.find("Error:"), std::string::npos);  // the detail is not logged
}

TEST_F(PrintTest, PathThatConvertsToNothingMakesABase64Request) {
  // Text up to a NUL is what the conversion keeps: here nothing.
  EXPECT_EQ(Post(json{{"filePath", std::string("\0/etc/hosts", 11)}}), Error(kRequired, -1));
  EXPECT_EQ(Post(json{{"filePath", std::string("\0/etc/hosts", 11)}, {"LabelContent", "QUJD"}})
                ["status"],
            "success");
}

TEST_F(PrintTest, RelativePathsResolveAgainstTheWorkingDirectory) {
  tbtest::WriteFile(folder / "rel.pdf", "xyz");
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(folder.path());
  json reply = Post(json{{"filePath", "rel.pdf"}});
  std::filesystem::current_path(previous);
  EXPECT_EQ(reply["md5sum"], Md5HexOfText("xyz"));
  ASSERT_EQ(launcher.Launches().size(), 1u);
  EXPECT_NE(launcher.Launches()[0].find(CachePath("path-" + Md5HexOfText("xyz") + ".pdf")),
            std::string::npos);
}

// ---- tracking number, printer, auto-scale ----

TEST_F(PrintTest, TrackingNumberTypes) {
  struct Case {
    json value;
    std::string recorded;
  } cases[] = {
      {12345, "12345"},   {-7, "-7"},      {"A-17", "A-17"}, {1.5, ""},
      {true, ""},         {nullptr, ""},   {json::array({1}), ""},
      {json(18446744073709551615ull), "-1"},  // unsigned taken as signed 64-bit
  };
  for (const Case& c : cases) {
    Post(json{{"LabelContent", "QUJD"}, {"RequestTrackingNumber", c.value}});
  }
  std::vector<std::string> rows = Query("SELECT RequestTrackingNumber FROM print_files ORDER BY id;");
  ASSERT_EQ(rows.size(), std::size(cases));
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i], cases[i].recorded) << cases[i].value;
}

TEST_F(PrintTest, PrinterChoiceRules) {
  config = {{"", "", "shipping", "Zebra Ship"}, {"", "", "blank", ""}};
  auto printed = [&](const json& body) {
    json b = body;
    b["LabelContent"] = "QUJD";
    json reply = Post(b);
    if (reply["status"] != "success") return reply.dump();
    std::string line = launcher.Launches().back();
    size_t at = line.find("-print-to \"") + 11;
    return line.substr(at, line.find('"', at) - at);
  };
  EXPECT_EQ(printed({{"PrinterName", "Named"}, {"key", "shipping"}}), "Named");
  EXPECT_EQ(printed({{"key", "shipping"}}), "Zebra Ship");
  EXPECT_EQ(printed({{"key", "blank"}}), "Default Printer");  // empty value: go on
  EXPECT_EQ(printed({{"key", "unknown"}}), "Default Printer");
  EXPECT_EQ(printed({{"PrinterName", 7}}), "Default Printer");
  std::vector<std::string> seen = events.All();
  EXPECT_NE(std::find(seen.begin(), seen.end(), "listConfig |shipping"), seen.end());
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "resolveDefaultPrinter"), 3);

  defaultPrinter = "";
  EXPECT_EQ(Post(json{{"LabelContent", "QUJD"}}), Error("需要设置默认打印机！", -3));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(Records().size(), 5u);  // only the five that printed
}

TEST_F(PrintTest, AutoScaleFlagIsOverriddenOnlyByABoolean) {
  autoScale = true;
  Post(json{{"LabelContent", "QUJD"}, {"AutoScalePdfToPrinter", "false"}});
  EXPECT_NE(infoLog.find("autoScalePdfToPrinter=1"), std::string::npos) << infoLog;
  Post(json{{"LabelContent", "QUJD"}, {"AutoScalePdfToPrinter", false}});
  EXPECT_NE(infoLog.find("autoScalePdfToPrinter=0"), std::string::npos) << infoLog;
  autoScale = false;
  Post(json{{"LabelContent", "QUJD"}, {"AutoScalePdfToPrinter", 1}});
  EXPECT_NE(infoLog.find("autoScalePdfToPrinter=0"), std::string::npos) << infoLog;
}

TEST_F(PrintTest, CacheLockCoversTheIntakeOnlyForBase64Documents) {
  std::vector<bool> cacheFreeAtLaunch;
  launcher.onLaunch = [&](const std::string&) {
    bool free = tb::printing::CacheMutex().try_lock();
    if (free) tb::printing::CacheMutex().unlock();
    cacheFreeAtLaunch.push_back(free);
  };
  bool cacheHeldDuringChoice = false;
  services.resolveDefaultPrinter = [&] {
    bool free = tb::printing::CacheMutex().try_lock();
    if (free) tb::printing::CacheMutex().unlock();
    cacheHeldDuringChoice = !free;
    return std::string("P");
  };
  Post(json{{"LabelContent", "QUJD"}});
  EXPECT_TRUE(cacheHeldDuringChoice);
  tbtest::WriteFile(folder / "d.pdf", "d");
  Post(json{{"filePath", folder / "d.pdf"}});
  EXPECT_FALSE(cacheHeldDuringChoice);
  EXPECT_EQ(cacheFreeAtLaunch, (std::vector<bool>{true, true}));
}

TEST_F(PrintTest, CachedDocumentIsTouchedPathDocumentIsNot) {
  namespace fs = std::filesystem;
  tbtest::WriteFile(folder / "old.pdf", "old");
  auto longAgo = fs::file_time_type::clock::now() - std::chrono::hours(100);
  fs::last_write_time(folder / "old.pdf", longAgo);
  Post(json{{"filePath", folder / "old.pdf"}});
  EXPECT_EQ(fs::last_write_time(folder / "old.pdf"), longAgo);

  const std::string cached = CachePath(Md5HexOfText("QUJD") + ".pdf");
  tb::platform::SetFileTimesToNow(folder / "missing.pdf");  // ignored
  tbtest::WriteFile(cached, "ABC");
  fs::last_write_time(cached, longAgo);
  tb::platform::SetFileTimesToNow(cached);
  EXPECT_GT(fs::last_write_time(cached), fs::file_time_type::clock::now() - std::chrono::minutes(1));
}

}  // namespace
