#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "routes/status_page.h"
#include "printers_test_env.h"
#include "support/in_process_server.h"

namespace tb {
namespace {

using nlohmann::json;
using tbtest::Printer;

constexpr const char* kTableBodyStart = "<tbody>\n";
constexpr const char* kTableBodyEnd = "</tbody></table>\n";

// The rows between the table body's opening and closing tags.
std::string TableBody(const std::string& page) {
  size_t start = page.find(kTableBodyStart);
  size_t end = page.find(kTableBodyEnd);
  if (start == std::string::npos || end == std::string::npos) return "<no table body>";
  start += std::string(kTableBodyStart).size();
  return page.substr(start, end - start);
}

std::string LinkRow(int n, const std::string& cell, const std::string& status,
                    const std::string& encoded) {
  return "<tr><td>" + std::to_string(n) + "</td><td>" + cell + "</td><td class='ok'>" + status +
         "</td><td style='text-align:center'>-</td><td style='text-align:center'>"
         "<a href='/default?printerName=" + encoded +
         "' style='color:#0078D4;text-decoration:none;font-size:13px'>设为默认</a></td></tr>\n";
}

StatusPageInputs Inputs(json printers) {
  StatusPageInputs in;
  in.printers = std::move(printers);
  in.printSettings = "fit";
  in.autoScalePdf = true;
  in.queryTime = "2024-05-06 07:08:09";
  return in;
}

TEST(StatusPage, NoPrintersGivesTheSingleNoticeRowAndTheRestUnchanged) {
  const std::string empty = BuildStatusPage(Inputs(json::array()));
  EXPECT_EQ(TableBody(empty),
            "<tr><td colspan='5' style='text-align:center'>未发现可用打印机</td></tr>\n");

  const std::string one = BuildStatusPage(Inputs(json::parse(R"([{"name":"A","status":"Ready"}])")));
  const size_t emptyEnd = empty.find(kTableBodyEnd), oneEnd = one.find(kTableBodyEnd);
  // Only the printers' raw printing lines come with the printer.
  std::string rest = one.substr(oneEnd);
  const size_t raw = rest.find("<div class='ts-info raw-printing'>");
  ASSERT_NE(raw, std::string::npos);
  rest.erase(raw, rest.find("<div class='ts-info", raw + 1) - raw);
  EXPECT_EQ(empty.substr(emptyEnd), rest);
  EXPECT_EQ(empty.substr(0, empty.find(kTableBodyStart)), one.substr(0, one.find(kTableBodyStart)));
}

TEST(StatusPage, HeadAndTailPiecesAreExact) {
  const std::string page = BuildStatusPage(Inputs(json::array()));
  EXPECT_EQ(page.rfind("<html>\n<head>\n<meta charset='UTF-8'>\n<style>\n"
                       "body { font-family: sans-serif; margin: 20px; }\n", 0), 0u);
  EXPECT_NE(page.find("</style>\n</head>\n<body>\n<h2>VarnholtOrv 打印机服务状态</h2>\n<table>\n"
                      "<thead>\n<tr><th>序号</th><th>打印机名称</th><th>状态</th><th>默认</th>"
                      "<th>操作</th></tr>\n</thead>\n<tbody>\n"),
            std::string::npos);
  EXPECT_NE(page.find("</tbody></table>\n<div class='footer'><a href='/printers'>打印机列表</a>"
                      "<a href='/list'>配置列表</a><a href='/history'>打印历史</a></div>\n"
                      "<div class='action-area'>    <div class='action-item'>"),
            std::string::npos);
  EXPECT_NE(page.find("清空打印机排队任务（谨慎操作）</a>    </div></div><div class='ts-info'>    "
                      "<div class='ts'>printSettings: fit</div>"),
            std::string::npos);
  EXPECT_NE(page.find("<div class='ts-info'>    <div class='ts'>最后查询时间: 2024-05-06 07:08:09"
                      "</div>    <div class='ts'>版本号: v1.4.0</div></div><img src=\"data:image/png;base64,"
                      "iVBORw0KGgo"),
            std::string::npos);
  const std::string tail = "\" alt=\"Kelvra\" width=\"80\" height=\"80\"/></body></html>";
  ASSERT_GE(page.size(), tail.size());
  EXPECT_EQ(page.substr(page.size() - tail.size()), tail);
}

TEST(StatusPage, EmbedsTheWholeBrandImage) {
  const auto size = std::filesystem::file_size(TB_SOURCE_DIR "/assets/brand.png");
  EXPECT_EQ(kBrandImageBase64Length, (size + 2) / 3 * 4);
  const std::string page = BuildStatusPage(Inputs(json::array()));
  EXPECT_NE(page.find(std::string(kBrandImageBase64, kBrandImageBase64Length) + "\" alt="),
            std::string::npos);
}

TEST(StatusPage, NamesWithSpacesAndChineseGetAFullyEncodedLink) {
  const std::string page =
      BuildStatusPage(Inputs(json::parse(R"([{"name":"Label 标签 #1","status":"Paused "}])")));
  EXPECT_EQ(TableBody(page),
            LinkRow(1, "Label 标签 #1", "Paused ", "Label%20%E6%A0%87%E7%AD%BE%20%231"));
}

TEST(StatusPage, DefaultRowShowsTheMarkInsteadOfTheLink) {
  const std::string page = BuildStatusPage(Inputs(json::parse(
      R"([{"name":"A","status":"Ready"},{"name":"B","status":"Offline ","default":true},{}])")));
  EXPECT_EQ(TableBody(page),
            LinkRow(1, "A", "Ready", "A") +
                "<tr><td>2</td><td>B</td><td class='ok'>Offline </td><td style='text-align:center'>"
                "<span style='color:#4CAF50;font-size:18px;font-weight:bold'>&#10004;</span>"
                "</td><td style='text-align:center'><span style='color:#999;font-size:13px'>"
                "当前默认</span></td></tr>\n" +
                LinkRow(3, "Unknown", "Ready", "Unknown"));
}

TEST(StatusPage, MarkupInANameOrStatusIsEscapedInTheCells) {
  const std::string page = BuildStatusPage(Inputs(json::parse(
      R"([{"name":"<script>alert('x')</script>&","status":"\"Ready\""}])")));
  EXPECT_EQ(TableBody(page),
            LinkRow(1, "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;", "&quot;Ready&quot;",
                    "%3Cscript%3Ealert%28%27x%27%29%3C%2Fscript%3E%26"));
  EXPECT_EQ(page.find("<script>"), std::string::npos);
}

TEST(StatusPage, SettingsBlockShowsModeAndSwitch) {
  StatusPageInputs in = Inputs(json::array());
  in.printSettings = "noscale";
  in.autoScalePdf = false;
  EXPECT_NE(BuildStatusPage(in).find(
                "<div class='ts'>printSettings: noscale</div>    <div><a href='/fit' "
                "style='text-decoration: none;'>fit</a><a href='/shrink' style='text-decoration: "
                "none;'>&nbsp; shrink</a><a href='/noscale' style='text-decoration: none;'>&nbsp; "
                "noscale</a><a href='/stretch' style='text-decoration: none;'>&nbsp; stretch</a>"
                "</div>    <div class='ts'>autoScalePdf: false</div>    <div><a href = '/switch' "
                "style = 'text-decoration: none;' >switch </a></div></div>"),
            std::string::npos);
}

class StatusRoutesTest : public tbtest::PrintersTest {
 protected:
  tbtest::InProcessServer server;
  httplib::Client client = server.Client();
};

TEST_F(StatusRoutesTest, StatusPageReadsPrintersDefaultAndSettingsEachTime) {
  spooler.printers = {Printer("Zebra"), Printer("Brother", 0x80)};
  SetDefaultRow("Brother");
  ASSERT_TRUE(store::SetPrintSettings("shrink"));
  ASSERT_TRUE(store::SetAutoScalePdf(false));

  auto r = client.Get("/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
  const std::string body = TableBody(r->body);
  EXPECT_EQ(body.rfind(LinkRow(1, "Zebra", "Ready", "Zebra"), 0), 0u) << body;
  EXPECT_NE(body.find("<td>Brother</td><td class='ok'>Offline </td>"), std::string::npos);
  EXPECT_NE(body.find("当前默认"), std::string::npos);
  EXPECT_NE(r->body.find("printSettings: shrink</div>"), std::string::npos);
  EXPECT_NE(r->body.find("autoScalePdf: false</div>"), std::string::npos);
  EXPECT_TRUE(std::regex_search(
      r->body, std::regex("最后查询时间: \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}</div>")));

  ASSERT_TRUE(store::SetAutoScalePdf(true));
  r = client.Get("/");
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find("autoScalePdf: true</div>"), std::string::npos);
}

TEST_F(StatusRoutesTest, StatusPageWithoutDatabaseShowsTheDefaults) {
  tb::store::Database::Shared().Close();
  auto r = client.Get("/");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_NE(r->body.find("printSettings: fit</div>"), std::string::npos);
  EXPECT_NE(r->body.find("autoScalePdf: true</div>"), std::string::npos);
  EXPECT_NE(r->body.find("未发现可用打印机"), std::string::npos);
}

// The test page is read from the working directory.
class TestPageRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
  }
  void TearDown() override { std::filesystem::current_path(previous_); }

  tbtest::TempFolder folder;
  tbtest::InProcessServer server;
  httplib::Client client = server.Client();

 private:
  std::filesystem::path previous_;
};

TEST_F(TestPageRoute, MissingFileAnswers404InPlainText) {
  auto r = client.Get("/test");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
  EXPECT_EQ(r->body, "Error: test.html not found in current directory.");
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain; charset=utf-8");
}

TEST_F(TestPageRoute, FileIsServedWithCrLfAsLfAndReadAnew) {
  tbtest::WriteFile(folder / "test.html", "<p>一</p>\r\n<p>\rtwo</p>\r\n\r\n");
  auto r = client.Get("/test");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(r->body, "<p>一</p>\n<p>\rtwo</p>\n\n");

  tbtest::WriteFile(folder / "test.html", "changed");
  r = client.Get("/test");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "changed");
}

}  // namespace
}  // namespace tb
