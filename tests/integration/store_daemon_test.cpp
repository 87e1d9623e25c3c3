#include <httplib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/daemon_harness.h"
#include "support/sqlite_file.h"

namespace {

using nlohmann::json;
using Db = tbtest::SqliteFile;
using tbtest::DaemonProcess;
using tbtest::TempFolder;

std::vector<std::string> Snapshot(const std::string& path) {
  Db db(path);
  return db.Query(
      "SELECT type||'/'||name||'/'||ifnull(sql,'') FROM sqlite_master "
      "UNION ALL SELECT quote(id)||quote(md5sum)||quote(fileSize)||quote(code)||"
      "quote(print_start_time) FROM print_files "
      "UNION ALL SELECT rowid||quote(type)||quote(flag)||quote(key)||quote(value) FROM config "
      "UNION ALL SELECT name||seq FROM sqlite_sequence;");
}

// Runs the daemon until its port answers, then ends it.
void RunOnce(const TempFolder& folder, std::string* out = nullptr) {
  DaemonProcess daemon(folder);
  ASSERT_TRUE(daemon.Running()) << daemon.Stderr();
  if (out) *out = daemon.Stdout();
}

TEST(StoreDaemon, FirstStartSeedsAndLogsSettingsAndASecondStartChangesNothing) {
  TempFolder folder;
  std::string out;
  RunOnce(folder, &out);
  const size_t startup = out.find("[Startup] version=");
  const size_t config = out.find(
      "\n[Config] SUMATRA_PRINT_SETTINGS=fit, AUTO_SCALE_PDF_TO_PRINTER=1\n");
  const size_t banner = out.find("Server: http://127.0.0.1:3806/");
  ASSERT_NE(config, std::string::npos) << out;
  EXPECT_LT(startup, config);
  EXPECT_LT(config, banner);

  const std::string path = folder / "database.db";
  {
    Db db(path);
    EXPECT_EQ(db.Query("SELECT type,flag,key,value FROM config ORDER BY rowid;"),
              (std::vector<std::string>{"PRINT||SUMATRA_PRINT_SETTINGS|fit",
                                        "PRINT||AUTO_SCALE_PDF_TO_PRINTER|1"}));
    db.Exec("INSERT INTO print_files(md5sum,fileSize,code,print_start_time) VALUES"
            "('abc',12,0,'2024-03-05 14:07:09.042'),(NULL,5000000000,-2,NULL);");
    db.Exec("UPDATE config SET value='Stretch' WHERE key='SUMATRA_PRINT_SETTINGS';");
    db.Exec("INSERT INTO config VALUES('','','shop','Zebra');");
  }
  const auto before = Snapshot(path);
  RunOnce(folder, &out);
  EXPECT_NE(out.find("[Config] SUMATRA_PRINT_SETTINGS=stretch, AUTO_SCALE_PDF_TO_PRINTER=1\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(Snapshot(path), before);
}

TEST(StoreDaemon, WithoutADatabaseTheServerStillAnswersAndSkipsTheSettingsLine) {
  TempFolder folder;
  std::filesystem::create_directory(folder / "database.db");  // cannot be opened as a file
  DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  auto r = client.Get("/history");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "[]");
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/json; charset=utf-8");
  EXPECT_NE(daemon.Stderr().find("Cannot open DB: unable to open database file\n"),
            std::string::npos)
      << daemon.Stderr();
  EXPECT_EQ(daemon.Stdout().find("[Config]"), std::string::npos) << daemon.Stdout();
  EXPECT_NE(daemon.Stdout().find("Server: http://127.0.0.1:3806/"), std::string::npos);
}

TEST(StoreDaemon, HistoryListsTheThousandNewestRecordsNewestFirst) {
  TempFolder folder;
  RunOnce(folder);  // lets the daemon create its own schema
  {
    Db db(folder / "database.db");
    db.Exec("BEGIN;");
    for (int i = 1; i <= 1499; ++i) {
      db.Exec("INSERT INTO print_files(md5sum,RequestTrackingNumber,filePath,fileSize,printerName,"
              "code,print_start_time,print_end_time) VALUES('m" + std::to_string(i) + "','T" +
              std::to_string(i) + "','/d/" + std::to_string(i) +
              ".pdf',100,'Zebra',0,'2024-03-05 14:07:09.042','2024-03-05 14:07:10.001');");
    }
    // The newest: NULL texts, a size beyond 32 bits, a hung-print code.
    db.Exec("INSERT INTO print_files(fileSize,code) VALUES(5000000000,-2);");
    db.Exec("COMMIT;");
  }
  DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  auto r = client.Get("/history");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  const json list = json::parse(r->body);
  ASSERT_TRUE(list.is_array());
  ASSERT_EQ(list.size(), 1000u);
  EXPECT_EQ(list.front(), (json{{"id", 1500}, {"md5sum", ""}, {"RequestTrackingNumber", ""},
                                {"filePath", ""}, {"fileSize", 5000000000LL}, {"printerName", ""},
                                {"code", -2}, {"start_time", ""}, {"end_time", ""}}));
  EXPECT_EQ(list[1], (json{{"id", 1499}, {"md5sum", "m1499"}, {"RequestTrackingNumber", "T1499"},
                           {"filePath", "/d/1499.pdf"}, {"fileSize", 100},
                           {"printerName", "Zebra"}, {"code", 0},
                           {"start_time", "2024-03-05 14:07:09.042"},
                           {"end_time", "2024-03-05 14:07:10.001"}}));
  for (size_t i = 0; i < list.size(); ++i) {
    ASSERT_EQ(list[i]["id"], 1500 - static_cast<int>(i));
    ASSERT_EQ(list[i].size(), 9u);
  }
}

}  // namespace
