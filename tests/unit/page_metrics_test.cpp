#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_spooler.h"
#include "metrics/page_derivation.h"
#include "metrics/page_metrics.h"

namespace {

namespace dm = tb::platform::devmode;
using nlohmann::json;
using tb::metrics::PageMetrics;
using tb::platform::DevMode;
using tbtest::FakeSpooler;

DevMode Devmode(uint32_t fields, int16_t orientation = 0, int16_t paperSize = 0,
                int16_t width = 0, int16_t length = 0) {
  DevMode d = dm::MakeEmpty(fields);
  dm::Write<int16_t>(d, dm::kOrientation, orientation);
  dm::Write<int16_t>(d, dm::kPaperSize, paperSize);
  dm::Write<int16_t>(d, dm::kPaperWidth, width);
  dm::Write<int16_t>(d, dm::kPaperLength, length);
  return d;
}

std::map<int, int> Caps(int dpiX, int dpiY, int horz, int vert, int physW, int physH, int offX,
                        int offY) {
  return {{88, dpiX},   {90, dpiY},  {8, horz},   {10, vert},
          {110, physW}, {111, physH}, {112, offX}, {113, offY}};
}

class PageDerivation : public ::testing::Test {
 protected:
  void SetUp() override { spooler.printers = {tbtest::Printer("P")}; }
  void TearDown() override { EXPECT_EQ(spooler.openHandles.load(), 0) << "printer left open"; }

  bool Derive(PageMetrics& m, std::string& error) {
    return tb::metrics::DerivePageMetricsWith(spooler, "P", "interactive:", m, error);
  }

  FakeSpooler spooler;
};

TEST_F(PageDerivation, DeviceContextGeometryIsMeasuredInMillimetres) {
  spooler.documentDefaults["P"] = Devmode(dm::DM_ORIENTATION | dm::DM_PAPERSIZE, 2, 9);
  spooler.deviceCaps["P"] = Caps(600, 300, 4800, 3000, 5100, 3300, 150, 150);
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(Derive(m, error)) << error;
  EXPECT_EQ(m.source, "interactive:dc+user-devmode");
  EXPECT_FALSE(m.usedUserDevMode);  // no per-user DEVMODE: the driver's was used
  EXPECT_DOUBLE_EQ(m.printableWidthMm, 203.2);
  EXPECT_DOUBLE_EQ(m.printableHeightMm, 254.0);
  EXPECT_DOUBLE_EQ(m.printableRatio, 0.8);  // not 1.6, the pixel ratio
  EXPECT_DOUBLE_EQ(m.paperWidthMm, 215.9);
  EXPECT_DOUBLE_EQ(m.paperHeightMm, 279.4);
  EXPECT_DOUBLE_EQ(m.leftMarginMm, 6.35);
  EXPECT_DOUBLE_EQ(m.topMarginMm, 12.7);
  EXPECT_NEAR(m.rightMarginMm, 6.35, 1e-9);
  EXPECT_NEAR(m.bottomMarginMm, 12.7, 1e-9);
  EXPECT_EQ(m.dmOrientation, 2);
  EXPECT_EQ(m.dmPaperSize, 9);
  EXPECT_EQ(m.dmPaperWidth, 0);  // present in the bytes only when its field bit says so
}

TEST_F(PageDerivation, MissingPhysicalSizeMeansTheWholeSheetIsPrintable) {
  spooler.documentDefaults["P"] = Devmode(0);
  spooler.deviceCaps["P"] = Caps(300, 300, 1200, 1800, 0, 1900, 25, 50);
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(Derive(m, error)) << error;
  EXPECT_EQ(m.physicalWidthPx, 1200);
  EXPECT_EQ(m.physicalHeightPx, 1800);
  EXPECT_EQ(m.offsetXPx, 0);
  EXPECT_EQ(m.offsetYPx, 0);
  EXPECT_DOUBLE_EQ(m.paperWidthMm, m.printableWidthMm);
  EXPECT_DOUBLE_EQ(m.paperHeightMm, m.printableHeightMm);
  EXPECT_EQ(m.leftMarginMm + m.rightMarginMm + m.topMarginMm + m.bottomMarginMm, 0.0);
}

TEST_F(PageDerivation, MillimetresAreExactForWholeMillimetreLabels) {
  // 4 x 6 in at 203 dpi: 812 x 1218 px, printable to the edges.
  spooler.documentDefaults["P"] = Devmode(0);
  spooler.deviceCaps["P"] = Caps(203, 203, 812, 1218, 812, 1218, 0, 0);
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(Derive(m, error)) << error;
  EXPECT_EQ(m.printableWidthMm, 101.6);
  EXPECT_EQ(m.paperWidthMm, 101.6);
  EXPECT_EQ(m.rightMarginMm, 0.0);
  EXPECT_EQ(m.bottomMarginMm, 0.0);
}

TEST_F(PageDerivation, UserDevmodeIsMergedIntoTheDriversAndReported) {
  spooler.documentDefaults["P"] = Devmode(0);
  const DevMode user = Devmode(dm::DM_ORIENTATION, 2);
  spooler.printerDevModes[{"P", 9}] = user;
  spooler.deviceCaps["P"] = Caps(300, 300, 1200, 1800, 1200, 1800, 0, 0);
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(Derive(m, error)) << error;
  EXPECT_TRUE(m.usedUserDevMode);
  ASSERT_EQ(spooler.documentPropertiesInputs.size(), 1u);
  EXPECT_EQ(spooler.documentPropertiesInputs[0], user);
  EXPECT_EQ(spooler.documentPropertiesCalls.back(), std::make_pair(1, uint32_t{10}));
}

TEST_F(PageDerivation, RawLevelsAreTheLastResortAndCopyOnlyTheDevmode) {
  // DocumentProperties fails altogether; level 9 carries a DEVMODE with 8
  // bytes of driver data, followed by bytes that are not part of it.
  DevMode raw = Devmode(dm::DM_PAPERWIDTH | dm::DM_PAPERLENGTH, 0, 0, 1016, 1524);
  dm::Write<uint16_t>(raw, dm::kDriverExtra, 8);
  raw.resize(dm::kFullSize + 40, 0xAB);
  spooler.printerDevModes[{"P", 9}] = raw;
  spooler.deviceCaps["P"] = Caps(203, 203, 812, 1218, 812, 1218, 0, 0);
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(Derive(m, error)) << error;
  EXPECT_TRUE(m.usedUserDevMode);
  ASSERT_FALSE(spooler.createDcCalls.empty());
  EXPECT_EQ(spooler.createDcCalls[0].second.size(), dm::kFullSize + 8);
}

TEST_F(PageDerivation, DevmodeAloneWithoutResolutionsUses300Dpi) {
  spooler.documentDefaults["P"] =
      Devmode(dm::DM_ORIENTATION | dm::DM_PAPERWIDTH | dm::DM_PAPERLENGTH, 2, 0, 1000, 1500);
  // No device context: both DC variants fail and the DEVMODE alone decides.
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(Derive(m, error)) << error;
  EXPECT_EQ(m.source, "interactive:devmode-only+user");
  EXPECT_EQ(m.dpiX, 300);
  EXPECT_EQ(m.dpiY, 300);
  EXPECT_DOUBLE_EQ(m.paperWidthMm, 150.0);  // landscape: 100 x 150 turned
  EXPECT_DOUBLE_EQ(m.paperHeightMm, 100.0);
  EXPECT_EQ(m.printableWidthPx, 1772);
  EXPECT_EQ(m.printableHeightPx, 1181);
  EXPECT_EQ(m.physicalWidthPx, 1772);
  EXPECT_DOUBLE_EQ(m.printableRatio, 1.5);
  EXPECT_EQ(m.dmPaperWidth, 1000);
  EXPECT_EQ(m.dmPaperLength, 1500);
}

TEST_F(PageDerivation, PaperIdsResolveOnlyThroughConsistentLists) {
  spooler.paperIds["P"] = {1, 9};
  spooler.paperSizes["P"] = {{2159, 2794}, {2100, 2970}};
  std::string error;
  PageMetrics m;
  EXPECT_TRUE(tb::metrics::DeriveFromDevmode(spooler, "P", Devmode(dm::DM_PAPERSIZE, 0, 9), m, error))
      << error;
  EXPECT_DOUBLE_EQ(m.paperWidthMm, 210.0);
  EXPECT_DOUBLE_EQ(m.paperHeightMm, 297.0);

  EXPECT_FALSE(tb::metrics::DeriveFromDevmode(spooler, "P", Devmode(dm::DM_PAPERSIZE, 0, 70), m, error));
  EXPECT_EQ(error, "DEVMODE carries no resolvable paper size");

  spooler.paperSizes["P"] = {{2159, 2794}};  // lists of different lengths
  double w = 0, h = 0;
  EXPECT_FALSE(tb::metrics::PaperSizeById(spooler, "P", 1, w, h));

  DevMode tiny = Devmode(dm::DM_PAPERSIZE, 0, 9);
  dm::Write<uint16_t>(tiny, dm::kSize, 40);
  EXPECT_FALSE(tb::metrics::DeriveFromDevmode(spooler, "P", tiny, m, error));
  EXPECT_EQ(error, "DEVMODE unusable for page derivation");
}

TEST_F(PageDerivation, ResolutionPick) {
  int32_t x = 0, y = 0;
  spooler.resolutions["P"] = {{300, 300}, {600, 600}, {600, 1200}, {0, 2400}};
  tb::metrics::PickResolution(spooler, "P", DevMode{}, x, y);
  EXPECT_EQ(std::make_pair(x, y), std::make_pair(600, 600));  // first of the largest x

  spooler.resolutions.erase("P");
  DevMode d = Devmode(dm::DM_PRINTQUALITY);
  dm::Write<int16_t>(d, dm::kPrintQuality, 203);
  tb::metrics::PickResolution(spooler, "P", d, x, y);
  EXPECT_EQ(std::make_pair(x, y), std::make_pair(203, 203));

  dm::Write<int16_t>(d, dm::kPrintQuality, -4);  // a quality level, not dots per inch
  tb::metrics::PickResolution(spooler, "P", d, x, y);
  EXPECT_EQ(std::make_pair(x, y), std::make_pair(300, 300));
}

TEST_F(PageDerivation, InvalidDeviceContextIsReportedWithItsNumbers) {
  spooler.documentDefaults["P"] = Devmode(0);
  spooler.deviceCaps["P"] = Caps(300, 300, 0, 1800, 1200, 1800, 0, 0);
  PageMetrics m;
  std::string error;
  EXPECT_FALSE(tb::metrics::DeriveFromDc(spooler, "P", m, true, error));
  EXPECT_EQ(error,
            "printer driver returned invalid printable-area metrics (dpi=300x300, "
            "printablePx=0x1800)");
}

TEST_F(PageDerivation, OpeningFallsBackToUseAccessThenNamesBothErrors) {
  spooler.accessDenied = {tb::platform::PrinterAccess::kNoDefaults};
  std::string error;
  EXPECT_NE(tb::metrics::OpenPrinterForMetrics(spooler, "P", error), nullptr);
  spooler.printers.clear();
  EXPECT_EQ(tb::metrics::OpenPrinterForMetrics(spooler, "P", error), nullptr);
  EXPECT_EQ(error, "OpenPrinterW failed: 1801 / 1801");
}

TEST_F(PageDerivation, EveryVariantFailingListsEachReasonInOrder) {
  spooler.documentDefaults["P"] = Devmode(dm::DM_ORIENTATION, 1);  // no page size
  spooler.printerDevModes[{"P", 9}] = Devmode(dm::DM_ORIENTATION, 1);
  DevMode shortOne = Devmode(dm::DM_PAPERSIZE, 0, 9);
  dm::Write<uint16_t>(shortOne, dm::kSize, 40);
  spooler.printerDevModes[{"P", 2}] = shortOne;
  // No level 8 and no device context.
  PageMetrics m;
  std::string error;
  ASSERT_FALSE(Derive(m, error));
  EXPECT_EQ(error,
            "dc+user-devmode=> CreateDCW(WINSPOOL) failed: 1801; "
            "dc+driver-devmode=> CreateDCW(WINSPOOL) failed: 1801; "
            "devmode-only+user=> no usable DEVMODE (DocumentProperties(user DEVMODE) rc=1; "
            "DocumentProperties(driver default) rc=1; "
            "GetPrinter(level 9) DEVMODE has no usable page size; "
            "GetPrinter(level 2) DEVMODE has no usable page size; GetPrinter(level 8) failed); "
            "devmode-only+driver=> no usable DEVMODE (DocumentProperties(driver default) rc=1; "
            "GetPrinter(level 2) DEVMODE has no usable page size; GetPrinter(level 8) failed)");

  spooler.documentDefaults.clear();
  spooler.printerDevModes.clear();
  ASSERT_FALSE(Derive(m, error));
  const std::string firstTwo =
      "dc+user-devmode=> no usable DEVMODE (DocumentProperties(size) failed: 1801; "
      "GetPrinter(level 9) failed; GetPrinter(level 2) failed; GetPrinter(level 8) failed); "
      "dc+driver-devmode=> no usable DEVMODE (DocumentProperties(size) failed: 1801; "
      "GetPrinter(level 2) failed; GetPrinter(level 8) failed); ";
  EXPECT_EQ(error.substr(0, firstTwo.size()), firstTwo);
}

// ---- the JSON form ----

PageMetrics Sample() {
  PageMetrics m;
  m.dpiX = 600;
  m.dpiY = 300;
  m.physicalWidthPx = 5100;
  m.physicalHeightPx = 3300;
  m.printableWidthPx = 4800;
  m.printableHeightPx = 3000;
  m.offsetXPx = 150;
  m.offsetYPx = 150;
  m.paperWidthMm = 215.9;
  m.paperHeightMm = 279.4;
  m.printableWidthMm = 203.2;
  m.printableHeightMm = 254;
  m.leftMarginMm = 6.35;
  m.rightMarginMm = 6.349999999999994;
  m.topMarginMm = 12.7;
  m.bottomMarginMm = 12.700000000000017;
  m.printableRatio = 0.8;
  m.usedUserDevMode = true;
  m.dmOrientation = 2;
  m.dmPaperSize = -3;
  m.dmPaperWidth = 1016;
  m.dmPaperLength = 1524;
  m.source = "helper:dc+user-devmode";
  return m;
}

TEST(PageMetricsJson, RoundTripsEveryFieldThroughText) {
  const PageMetrics in = Sample();
  const json doc = tb::metrics::PageMetricsToJson(in);
  EXPECT_EQ(doc.size(), 24u);
  EXPECT_EQ(doc.at("ok"), true);
  PageMetrics out;
  std::string error;
  ASSERT_TRUE(tb::metrics::PageMetricsFromJson(json::parse(doc.dump()), out, error)) << error;
  EXPECT_EQ(tb::metrics::PageMetricsToJson(out), doc);
  EXPECT_EQ(out.rightMarginMm, in.rightMarginMm);  // doubles survive exactly
}

TEST(PageMetricsJson, DecoderTexts) {
  PageMetrics out;
  std::string error;
  json doc = tb::metrics::PageMetricsToJson(Sample());
  doc.erase("dpiX");
  EXPECT_FALSE(tb::metrics::PageMetricsFromJson(doc, out, error));
  EXPECT_EQ(error, "invalid printer metrics helper response: "
                   "[json.exception.out_of_range.403] key 'dpiX' not found");

  EXPECT_FALSE(tb::metrics::PageMetricsFromJson(json{{"ok", false}}, out, error));
  EXPECT_EQ(error, "printer metrics helper failed");
  EXPECT_FALSE(tb::metrics::PageMetricsFromJson(json::object(), out, error));
  EXPECT_EQ(error, "printer metrics helper failed");
  EXPECT_FALSE(tb::metrics::PageMetricsFromJson(json{{"ok", false}, {"error", "no DC"}}, out, error));
  EXPECT_EQ(error, "no DC");

  for (const char* bad : {R"({"ok": "yes"})", R"([1, 2])", R"({"ok": false, "error": 5})"}) {
    EXPECT_FALSE(tb::metrics::PageMetricsFromJson(json::parse(bad), out, error));
    EXPECT_EQ(error.rfind("invalid printer metrics helper response: [json.exception.type_error.", 0),
              0u)
        << bad << " -> " << error;
  }
  doc = tb::metrics::PageMetricsToJson(Sample());
  doc["dpiY"] = true;  // the library alone would take this for 1
  EXPECT_FALSE(tb::metrics::PageMetricsFromJson(doc, out, error));
  EXPECT_EQ(error, "invalid printer metrics helper response: "
                   "[json.exception.type_error.302] type must be number, but is boolean");
}

TEST(PageMetricsJson, ImpossibleValuesAreRefusedAndOptionalMembersDefault) {
  PageMetrics out;
  std::string error;
  for (const char* key : {"dpiX", "dpiY", "printableWidthPx", "printableHeightPx", "printableRatio"}) {
    json doc = tb::metrics::PageMetricsToJson(Sample());
    doc[key] = 0;
    EXPECT_FALSE(tb::metrics::PageMetricsFromJson(doc, out, error)) << key;
    EXPECT_EQ(error, "printer metrics helper returned invalid values") << key;
  }

  json doc = tb::metrics::PageMetricsToJson(Sample());
  for (const char* key : {"usedUserDevMode", "dmOrientation", "dmPaperLength", "source"}) doc.erase(key);
  doc["dmPaperSize"] = 65537;  // kept to its low 16 bits
  doc["dmPaperWidth"] = 0x8001;
  ASSERT_TRUE(tb::metrics::PageMetricsFromJson(doc, out, error)) << error;
  EXPECT_FALSE(out.usedUserDevMode);
  EXPECT_EQ(out.dmOrientation, 0);
  EXPECT_EQ(out.dmPaperLength, 0);
  EXPECT_EQ(out.dmPaperSize, 1);
  EXPECT_EQ(out.dmPaperWidth, -32767);
  EXPECT_EQ(out.source, "");
}

TEST(PageMetricsJson, SizesBeyondThirtyTwoBitsAreRefusedNotWrapped) {
  PageMetrics out;
  std::string error;
  // 2^32 + 203 would wrap to a plausible 203 dpi.
  for (const json& value : {json(4294967499ULL), json(-4294967093LL), json(1e300), json(-3e9)}) {
    json doc = tb::metrics::PageMetricsToJson(Sample());
    doc["dpiX"] = value;
    EXPECT_FALSE(tb::metrics::PageMetricsFromJson(doc, out, error)) << value;
    EXPECT_EQ(error, "invalid printer metrics helper response: "
                     "[json.exception.out_of_range.406] dpiX is out of range")
        << value;
  }
  json doc = tb::metrics::PageMetricsToJson(Sample());
  doc["dmPaperSize"] = 1e300;  // no low bits to keep
  EXPECT_FALSE(tb::metrics::PageMetricsFromJson(doc, out, error));
  doc["dmPaperSize"] = 2147483647;
  doc["dpiX"] = 2147483647;  // the largest that fits is still taken
  ASSERT_TRUE(tb::metrics::PageMetricsFromJson(doc, out, error)) << error;
  EXPECT_EQ(out.dpiX, 2147483647);
}

}  // namespace
