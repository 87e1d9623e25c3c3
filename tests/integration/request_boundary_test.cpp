// What the daemon accepts at its request boundary, on the real executable:
// bodies only as sent and framed one way, whole answers, bounded values,
// this machine's Host, no setting changed from another site. One row per
// request; the rows that could change state are checked against /list and
// /history afterwards.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "support/daemon_harness.h"
#include "support/raw_http.h"

namespace {

using tbtest::RawConnection;

struct Row {
  const char* name;
  std::string request;
  int status;
  bool closes;           // the connection ends after the answer
  const char* bodyText;  // in the answer's body, when not empty
};

std::string Post(const std::string& path, const std::string& head, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + head +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Get(const std::string& target, const std::string& head) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + head + "\r\n";
}

TEST(RequestBoundary, RefusesWhatItDoesNotServeAndAnswersTheRestWhole) {
  tbtest::TempFolder folder;
  tbtest::WriteFile(folder / "test.html", "<html>" + std::string(6000, 'x') + "</html>");
  tbtest::DaemonProcess daemon(folder);
  const std::string longName(257, 'n');
  const std::vector<Row> rows = {
      {"gzip body", Post("/print", "Content-Encoding: gzip\r\n", std::string(64, '\0')), 415, true, ""},
      {"identity body", Post("/setup", "Content-Encoding: Identity\r\n", "{}"), 400, false,
       "value is required."},
      {"coding beside length",
       "POST /setup HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: Chunked\r\nContent-Length: 9\r\n\r\n"
       "2\r\n{}\r\n0\r\n\r\n", 400, true, ""},
      {"coding list", "POST /remove HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
       "2\r\n{}\r\n0\r\n\r\n", 400, true, ""},
      {"capital Chunked alone",
       "POST /remove HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: CHUNKED\r\n\r\n2\r\n{}\r\n0\r\n\r\n",
       400, false, "key is required."},
      {"many ranges", Get("/test", "Range: bytes=0-0,-1,1-2\r\n"), 200, false, "x</html>"},
      {"bad range", Get("/version", "Range: bytes=x\r\n"), 200, false, "v1.4.0"},
      {"GET with a body left unread", Get("/version", "Content-Length: 30\r\n") +
       "GET /switch HTTP/1.1\r\nX: y\r\n\r\n", 200, true, "v1.4.0"},
      {"body to no route", Post("/nowhere", "", "abcd"), 404, true, ""},
      {"long tracking number",
       Post("/print", "", R"({"filePath":"/x","RequestTrackingNumber":")" + longName + "\"}"), 400, false,
       "RequestTrackingNumber"},
      {"long printer", Post("/print", "", R"({"filePath":"/x","PrinterName":")" + longName + "\"}"), 400,
       false, "PrinterName"},
      {"long path", Post("/print", "", R"({"filePath":")" + std::string(4097, 'p') + "\"}"), 400, false,
       "filePath"},
      {"long key", Post("/setup", "", R"({"key":")" + longName + R"(","value":"x"})"), 400, false, "key"},
      {"foreign host", "GET /history HTTP/1.1\r\nHost: rebind.example:3806\r\n\r\n", 421, false, ""},
      {"localhost", "GET /version HTTP/1.1\r\nHost: LOCALHOST.:3806\r\n\r\n", 200, false, "v1.4.0"},
      {"IPv6 loopback", "GET /version HTTP/1.1\r\nHost: [::1]\r\n\r\n", 200, false, "v1.4.0"},
      {"cross-site setting", Get("/default?printerName=Rebound", "Sec-Fetch-Site: cross-site\r\n"), 403,
       false, ""},
      {"same-origin setting", Get("/fit", "Sec-Fetch-Site: same-origin\r\n"), 303, false, ""},
      {"cross-site raw switch", Get("/raw?allow=1&printerName=Rebound", "Sec-Fetch-Site: cross-site\r\n"),
       403, false, ""},
      {"raw switch for no printer", Get("/raw?allow=1&printerName=Rebound", ""), 400, false,
       "printer name is wrong."},
      {"long raw printer", Get("/raw?allow=0&printerName=" + longName, ""), 400, false, "printerName"},
      {"cross-site origin", Get("/allow-origin?origin=https://rebound.example", "Sec-Fetch-Site: cross-site\r\n"),
       403, false, ""},
      {"long origin", Get("/allow-origin?origin=https://" + longName + ".example", ""), 400, false,
       "longer than 256 bytes"},
      {"compressed answer asked", Get("/", "Accept-Encoding: gzip, br\r\n"), 200, false, "<html>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RawConnection conn;
    ASSERT_TRUE(conn.Send(row.request));
    auto r = conn.ReadResponse();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, row.status) << r->body.substr(0, 300);
    EXPECT_EQ(r->Header("access-control-allow-origin"), "*");
    EXPECT_EQ(r->Header("content-encoding"), "");
    EXPECT_EQ(r->Header("content-range"), "");
    if (*row.bodyText) EXPECT_NE(r->body.find(row.bodyText), std::string::npos) << r->body.substr(0, 300);
    if (row.closes) {
      EXPECT_TRUE(conn.PeerClosed(7000));
    } else {
      ASSERT_TRUE(conn.Send(Get("/version", "")));
      auto again = conn.ReadResponse();
      ASSERT_TRUE(again);
      EXPECT_EQ(again->status, 200);
    }
  }
  // Nothing refused was stored or changed.
  RawConnection check;
  ASSERT_TRUE(check.Send(Get("/list", "") + Get("/history", "")));
  auto list = check.ReadResponse();
  auto history = check.ReadResponse();
  ASSERT_TRUE(list && history);
  EXPECT_EQ(list->body.find("Rebound"), std::string::npos) << list->body;
  EXPECT_EQ(list->body.find("rebound"), std::string::npos) << list->body;
  EXPECT_EQ(list->body.find("nnnn"), std::string::npos) << list->body;
  for (const nlohmann::json& entry : nlohmann::json::parse(list->body)) {
    if (entry["key"] == "AUTO_SCALE_PDF_TO_PRINTER") EXPECT_EQ(entry["value"], "1");  // no /switch
  }
  EXPECT_EQ(history->body.find("nnnn"), std::string::npos);
  EXPECT_EQ(history->body.find("pppp"), std::string::npos);
}

}  // namespace
