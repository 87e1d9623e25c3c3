#include <gtest/gtest.h>
#include <sqlite3.h>

#include "store/config_store.h"
#include "store_test_db.h"
#include "support/capture.h"

namespace tb::store {
namespace {

using nlohmann::json;
using Rows = std::vector<std::string>;

const char* kAllRows = "SELECT type,flag,key,value FROM config ORDER BY rowid;";

json Entry(const std::string& type, const std::string& key, const std::string& value) {
  return json{{"type", type}, {"flag", ""}, {"key", key}, {"value", value}};
}

class ConfigStoreTest : public tbtest::StoreTest {
 protected:
  // One row of each kind the daemon keeps.
  void FillTypicalRows() {
    file.Exec("INSERT INTO config VALUES('PRINT','','SUMATRA_PRINT_SETTINGS','fit'),"
              "('PRINT','','AUTO_SCALE_PDF_TO_PRINTER','1'),('PRINT','','OTHER','x'),"
              "('*','','','Zebra'),('','','shop','Brother'),('','','desk','Zebra');");
  }
  Rows All() { return file.Query(kAllRows); }
};

TEST(NormalizePrintSettings, LowersTrimsAndAcceptsOnlyTheFourModes) {
  EXPECT_EQ(NormalizePrintSettings(" STRETCH\r\n"), "stretch");
  EXPECT_EQ(NormalizePrintSettings("\tNoScale\n"), "noscale");
  EXPECT_EQ(NormalizePrintSettings("no scale"), "");
  EXPECT_EQ(NormalizePrintSettings("fit\v"), "");  // only space, tab, CR, LF are trimmed
  EXPECT_EQ(NormalizePrintSettings(" \r\n\t"), "");
}

TEST_F(ConfigStoreTest, PrintModeIsStoredNormalisedAndReadLeniently) {
  EXPECT_EQ(GetPrintSettings(), "fit");  // no row
  std::string error;
  ASSERT_TRUE(SetPrintSettings(" STRETCH\r\n", &error)) << error;
  EXPECT_EQ(All(), (Rows{"PRINT||SUMATRA_PRINT_SETTINGS|stretch"}));

  EXPECT_FALSE(SetPrintSettings("no scale", &error));
  EXPECT_EQ(error, "invalid SUMATRA_PRINT_SETTINGS; allowed: fit, shrink, noscale, stretch");
  EXPECT_EQ(All(), (Rows{"PRINT||SUMATRA_PRINT_SETTINGS|stretch"}));

  ASSERT_TRUE(SetConfigValue("PRINT", "SUMATRA_PRINT_SETTINGS", " Shrink"));
  EXPECT_EQ(GetPrintSettings(), "shrink");
  ASSERT_TRUE(SetConfigValue("PRINT", "SUMATRA_PRINT_SETTINGS", "landscape"));
  EXPECT_EQ(GetPrintSettings(), "fit");
}

TEST_F(ConfigStoreTest, AutoScaleTruthTable) {
  EXPECT_TRUE(GetAutoScalePdf());  // no row: on
  for (const char* off : {"FALSE", "Off", "0", "No"}) {
    ASSERT_TRUE(SetConfigValue("PRINT", "AUTO_SCALE_PDF_TO_PRINTER", off));
    EXPECT_FALSE(GetAutoScalePdf()) << off;
  }
  for (const char* on : {" false", "2", "yes", ""}) {
    ASSERT_TRUE(SetConfigValue("PRINT", "AUTO_SCALE_PDF_TO_PRINTER", on));
    EXPECT_TRUE(GetAutoScalePdf()) << on;
  }
  ASSERT_TRUE(SetAutoScalePdf(false));
  EXPECT_EQ(All(), (Rows{"PRINT||AUTO_SCALE_PDF_TO_PRINTER|0"}));
}

TEST_F(ConfigStoreTest, WritingOneTypeAndKeyTwiceKeepsOneRowWithTheSecondValue) {
  ASSERT_TRUE(SetConfigValue("", "shop", "Zebra"));
  ASSERT_TRUE(SetConfigValue("", "shop", "Brother"));
  EXPECT_EQ(All(), (Rows{"||shop|Brother"}));
  EXPECT_EQ(GetConfigValue("", "shop", "none"), "Brother");

  // The batch writer keeps the rule within one batch too; missing members are empty.
  ASSERT_TRUE(SetConfigValues({Entry("*", "", "Zebra"), json{{"type", "*"}, {"flag", "f"}},
                               Entry("", "shop", "Canon")}));
  EXPECT_EQ(All(), (Rows{"*|f||", "||shop|Canon"}));
  EXPECT_TRUE(SetConfigValues({}));
  EXPECT_EQ(All(), (Rows{"*|f||", "||shop|Canon"}));
}

TEST_F(ConfigStoreTest, GetConfigValueTakesTheNewestRowAndKeepsAnEmptyValue) {
  file.Exec("INSERT INTO config VALUES('','','k','old'),('','','k','new');");
  EXPECT_EQ(GetConfigValue("", "k", "d"), "new");
  EXPECT_EQ(GetConfigValue("PRINT", "k", "d"), "d");  // empty type is no wildcard
  file.Exec("INSERT INTO config VALUES('','','k','');");
  EXPECT_EQ(GetConfigValue("", "k", "d"), "");
  file.Exec("INSERT INTO config VALUES('','','k',NULL);");
  EXPECT_EQ(GetConfigValue("", "k", "d"), "d");
}

TEST_F(ConfigStoreTest, DeleteAndListFilterOnTypeAndKey) {
  FillTypicalRows();
  EXPECT_EQ(ListConfig("", "").size(), 6u);
  EXPECT_EQ(ListConfig("PRINT", "").size(), 3u);
  ASSERT_EQ(ListConfig("", "shop").size(), 1u);
  EXPECT_EQ(ConfigEntryToJson(ListConfig("", "shop")[0]),
            (json{{"type", ""}, {"flag", ""}, {"key", "shop"}, {"value", "Brother"}}));
  EXPECT_TRUE(ListConfig("*", "shop").empty());

  EXPECT_EQ(DeleteConfig("PRINT", "AUTO_SCALE_PDF_TO_PRINTER"), 1);
  EXPECT_EQ(DeleteConfig("PRINT", ""), 2);
  EXPECT_EQ(All(), (Rows{"*|||Zebra", "||shop|Brother", "||desk|Zebra"}));
  // An empty type matches only rows whose type is empty: the client mappings.
  EXPECT_EQ(DeleteConfig("", ""), 2);
  EXPECT_EQ(All(), (Rows{"*|||Zebra"}));
}

TEST_F(ConfigStoreTest, MalformedBatchEntryFailsTheWholeBatchAndRollsBack) {
  FillTypicalRows();
  const Rows before = All();
  for (const json& bad : {json("text"), json{{"key", "shop"}, {"value", 7}},
                          json{{"type", nullptr}, {"key", "shop"}}}) {
    tbtest::CapturedFd err(2);
    // The first entry alone would replace a row; it must be undone with the batch.
    EXPECT_FALSE(SetConfigValues({Entry("", "shop", "Canon"), bad})) << bad.dump();
    EXPECT_EQ(err.Text().rfind("SetConfigValues failed: ", 0), 0u) << err.Text();
    EXPECT_EQ(All(), before) << bad.dump();
    ASSERT_TRUE(SetConfigValue("probe", "k", "v"));  // nothing left locked or open
    ASSERT_EQ(DeleteConfig("probe", ""), 1);
  }
}

TEST_F(ConfigStoreTest, LockedDatabaseFailsWritesWithSqliteTextAndSeedingSaysSo) {
  file.Exec("BEGIN IMMEDIATE;");
  std::string error;
  EXPECT_FALSE(SetConfigValue("", "shop", "Zebra", &error));
  EXPECT_EQ(error, "database is locked");
  {
    tbtest::CapturedFd err(2);
    EXPECT_FALSE(SetConfigValues({Entry("", "shop", "Zebra")}));
    SeedConfigDefaults();
    EXPECT_EQ(err.Text(),
              "SetConfigValues BEGIN failed: database is locked\n"
              "[Config] failed to initialize SUMATRA_PRINT_SETTINGS: database is locked\n"
              "[Config] failed to initialize AUTO_SCALE_PDF_TO_PRINTER: database is locked\n");
  }
  file.Exec("ROLLBACK;");
  EXPECT_TRUE(All().empty());
}

TEST_F(ConfigStoreTest, DeleteThatCannotRunIsAFailureNotZeroRows) {
  FillTypicalRows();
  const Rows before = All();
  file.Exec("BEGIN IMMEDIATE;");
  {
    tbtest::CapturedFd err(2);
    EXPECT_EQ(DeleteConfig("", "shop"), -1);
    EXPECT_EQ(DeleteConfig("PRINT", ""), -1);
    EXPECT_EQ(err.Text(), "DeleteConfig failed: database is locked\n"
                          "DeleteConfig failed: database is locked\n");
  }
  file.Exec("ROLLBACK;");
  EXPECT_EQ(All(), before);
  EXPECT_EQ(DeleteConfig("", "shop"), 1);
  EXPECT_EQ(DeleteConfig("", "shop"), 0);  // found nothing: still a success
}

TEST_F(ConfigStoreTest, SeedingFillsOnlyMissingOrEmptySettings) {
  SeedConfigDefaults();
  EXPECT_EQ(All(), (Rows{"PRINT||SUMATRA_PRINT_SETTINGS|fit",
                         "PRINT||AUTO_SCALE_PDF_TO_PRINTER|1"}));
  ASSERT_TRUE(SetConfigValue("PRINT", "SUMATRA_PRINT_SETTINGS", "bogus"));
  ASSERT_TRUE(SetConfigValue("PRINT", "AUTO_SCALE_PDF_TO_PRINTER", ""));
  SeedConfigDefaults();
  EXPECT_EQ(All(), (Rows{"PRINT||SUMATRA_PRINT_SETTINGS|bogus",
                         "PRINT||AUTO_SCALE_PDF_TO_PRINTER|1"}));
  EXPECT_EQ(GetPrintSettings(), "fit");
}

}  // namespace
}  // namespace tb::store
