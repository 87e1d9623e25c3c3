// The page-ratio fit, run with the real libpdfium.so on PDFs written here and
// checked with the qpdf and pdftoppm tools.
#include "pdffit/pdf_fit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>

#include "pdffit/pdfium_api.h"
#include "support/capture.h"
#include "support/daemon_harness.h"
#include "support/test_pdf.h"
#include "unit/pdfium_test_folder.h"

namespace {

namespace fs = std::filesystem;
using tb::metrics::PageMetrics;
using tb::pdffit::FitDocumentForPrinter;
using tb::pdffit::FitPdfToRatio;
using tbtest::BoxOf;
using tbtest::MakePdf;
using tbtest::QpdfDump;

PageMetrics MetricsWithRatio(double ratio) {
  PageMetrics m;
  m.printableWidthPx = 4800;
  m.printableHeightPx = 3000;
  m.printableRatio = ratio;
  m.source = "test";
  return m;
}

tb::pdffit::MetricsLookup Returning(const PageMetrics& metrics) {
  return [metrics](const std::string&, PageMetrics& out, std::string&) {
    out = metrics;
    return true;
  };
}

void ExpectBox(const std::array<double, 4>& box, std::array<double, 4> expected) {
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(box[i], expected[i], 1e-3) << "index " << i;
}

void ExpectRows(std::pair<int, int> rows, int first, int end) {
  EXPECT_NEAR(rows.first, first, 1);
  EXPECT_NEAR(rows.second, end, 1);
}

class PdfFit : public testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = cache_ / name;
    tbtest::WriteFile(path, content);
    return path;
  }
  bool Exists(const std::string& path) { return fs::exists(path); }

  tbtest::TempFolder cache_;
  tbtest::PdfiumFolder library_{tbtest::BuiltPdfiumFolder()};
};

// A black band over the full width between y = 108 and y = 216.
const char* kBand = "0 g 0 108 288 108 re f";

TEST_F(PdfFit, TallPageIsSquashedToTheTargetRatioWithItsContent) {
  const std::string doc =
      Write("abc.pdf", MakePdf({{"/MediaBox [0 0 288 432] /CropBox [0 0 288 432]", kBand}}));
  tbtest::CapturedFd out(1), err(2);
  const std::string printed = FitDocumentForPrinter(doc, "Label", Returning(MetricsWithRatio(0.8)));

  const std::string copy = cache_ / "abc_printfit_v2_4800x3000.pdf";
  EXPECT_EQ(printed, copy);
  EXPECT_FALSE(Exists(copy + ".tmp"));
  EXPECT_NE(out.Text().find("[PdfFit] page=1 source=288x432 ratio=0.666667 targetRatio=0.8 "
                            "scaleY=0.833333\n[PdfFit] adjusted PDF: " +
                            copy + "\n"),
            std::string::npos)
      << out.Text();
  EXPECT_EQ(err.Text(), "");

  QpdfDump fitted(copy);
  ExpectBox(BoxOf(fitted.Page(0), "/MediaBox"), {0, 0, 288, 360});
  ExpectBox(BoxOf(fitted.Page(0), "/CropBox"), {0, 0, 288, 360});
  // The band keeps its place relative to the page: squashed, not cut off.
  ExpectRows(tbtest::DarkRows(tbtest::RenderPage(doc, 1, 72), 144), 216, 324);
  tbtest::GreyImage after = tbtest::RenderPage(copy, 1, 72);
  EXPECT_EQ(after.height, 360);
  ExpectRows(tbtest::DarkRows(after, 144), 180, 270);
}

TEST_F(PdfFit, CropBoxBottomStaysWhereItIs) {
  const std::string doc = Write(
      "crop.pdf",
      MakePdf({{"/MediaBox [0 0 308 472] /CropBox [10 20 298 452]", "0 g 0 20 308 100 re f"}}));
  const std::string copy = cache_ / "out.pdf";
  bool changed = false;
  std::string error;
  ASSERT_TRUE(FitPdfToRatio(doc, copy, 0.8, changed, error)) << error;
  EXPECT_TRUE(changed);

  QpdfDump fitted(copy);
  ExpectBox(BoxOf(fitted.Page(0), "/CropBox"), {10, 20, 298, 380});
  ExpectBox(BoxOf(fitted.Page(0), "/MediaBox"), {0, 10.0 / 3, 308, 472 * 5.0 / 6 + 10.0 / 3});
  // The band drawn along the crop box's bottom still starts at its bottom.
  ExpectRows(tbtest::DarkRows(tbtest::RenderPage(doc, 1, 72), 144), 332, 432);
  ExpectRows(tbtest::DarkRows(tbtest::RenderPage(copy, 1, 72), 144), 277, 360);
}

TEST_F(PdfFit, PagesWithinATenthOfAPercentAreLeftAlone) {
  // 288 / 359.73 = 0.80060: 0.075 % away from 0.8.
  const std::string doc = Write("near.pdf", MakePdf({{"/MediaBox [0 0 288 359.73]", kBand}}));
  tbtest::CapturedFd out(1);
  EXPECT_EQ(FitDocumentForPrinter(doc, "Label", Returning(MetricsWithRatio(0.8))), doc);
  EXPECT_NE(out.Text().find("[PdfFit] PDF ratio already matches printer; no transform.\n"),
            std::string::npos);
  EXPECT_EQ(out.Text().find("[PdfFit] page="), std::string::npos);
  EXPECT_FALSE(Exists(cache_ / "near_printfit_v2_4800x3000.pdf"));
  EXPECT_FALSE(Exists(cache_ / "near_printfit_v2_4800x3000.pdf.tmp"));

  // 0.15 % away is outside the tolerance.
  const std::string off = Write("off.pdf", MakePdf({{"/MediaBox [0 0 288 359.46]", kBand}}));
  bool changed = false;
  std::string error;
  ASSERT_TRUE(FitPdfToRatio(off, cache_ / "off-fit.pdf", 0.8, changed, error)) << error;
  EXPECT_TRUE(changed);
}

TEST_F(PdfFit, OnlyThePagesThatDifferAreTransformed) {
  const std::string doc = Write("multi.pdf", MakePdf({{"/MediaBox [0 0 288 432]", kBand},
                                                      {"/MediaBox [0 0 288 360]", kBand},
                                                      {"/MediaBox [0 0 200 100]", kBand}}));
  const std::string copy = cache_ / "multi-fit.pdf";
  tbtest::CapturedFd out(1);
  bool changed = false;
  std::string error;
  ASSERT_TRUE(FitPdfToRatio(doc, copy, 0.8, changed, error)) << error;
  EXPECT_TRUE(changed);
  EXPECT_NE(out.Text().find("[PdfFit] page=1 "), std::string::npos);
  EXPECT_EQ(out.Text().find("[PdfFit] page=2 "), std::string::npos);
  EXPECT_NE(out.Text().find("[PdfFit] page=3 source=200x100 ratio=2 targetRatio=0.8 scaleY=2.5\n"),
            std::string::npos);

  QpdfDump fitted(copy);
  ASSERT_EQ(fitted.PageCount(), 3u);
  ExpectBox(BoxOf(fitted.Page(0), "/MediaBox"), {0, 0, 288, 360});
  ExpectBox(BoxOf(fitted.Page(1), "/MediaBox"), {0, 0, 288, 360});
  EXPECT_FALSE(fitted.Resolve(fitted.Page(1).at("/Contents")).is_array());  // untouched
  ExpectBox(BoxOf(fitted.Page(2), "/MediaBox"), {0, 0, 200, 250});
}

TEST_F(PdfFit, AnExistingCopyIsReusedWithoutPdfWorkAndRefreshed) {
  // The source is not even a PDF and no library can be found: reuse must not
  // need either.
  tbtest::TempFolder empty;
  tbtest::PdfiumFolder noLibrary(empty.path());
  const std::string doc = Write("seen.pdf", "not a pdf");
  const std::string copy = Write("seen_printfit_v2_4800x3000.pdf", "fitted before");
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
  fs::last_write_time(copy, old);

  tbtest::CapturedFd out(1), err(2);
  EXPECT_EQ(FitDocumentForPrinter(doc, "Label", Returning(MetricsWithRatio(0.8))), copy);
  EXPECT_NE(out.Text().find("[PdfFit] reuse cache: " + copy + "\n"), std::string::npos);
  EXPECT_EQ(err.Text(), "");
  EXPECT_FALSE(tb::pdffit::Pdfium().module.IsOpen());
  EXPECT_EQ(tbtest::ReadFile(copy), "fitted before");
  EXPECT_GT(fs::last_write_time(copy), old + std::chrono::hours(47));
  struct stat st {};
  ASSERT_EQ(::stat(copy.c_str(), &st), 0);
  EXPECT_GT(st.st_atime, ::time(nullptr) - 3600);
}

TEST_F(PdfFit, ZeroHeightCropBoxUsesThePageSize) {
  const std::string doc =
      Write("flat.pdf", MakePdf({{"/MediaBox [0 0 288 432] /CropBox [0 100 288 100]", kBand}}));
  const std::string copy = cache_ / "flat-fit.pdf";
  bool changed = false;
  std::string error;
  ASSERT_TRUE(FitPdfToRatio(doc, copy, 0.8, changed, error)) << error;
  QpdfDump fitted(copy);
  ExpectBox(BoxOf(fitted.Page(0), "/CropBox"), {0, 0, 288, 360});
  ExpectBox(BoxOf(fitted.Page(0), "/MediaBox"), {0, 0, 288, 360});
}

TEST_F(PdfFit, FailuresPrintTheOriginalWithOneWarning) {
  const std::string pdf = Write("good.pdf", MakePdf({{"/MediaBox [0 0 288 432]", kBand}}));
  const std::string text = Write("text.pdf", "plain text, not a PDF\n");
  auto fitWarning = [&](const std::string& doc, const tb::pdffit::MetricsLookup& lookup) {
    tbtest::CapturedFd err(2);
    EXPECT_EQ(FitDocumentForPrinter(doc, "Label", lookup), doc);
    EXPECT_FALSE(Exists(tb::pdffit::FittedCopyPath(doc, MetricsWithRatio(0.8))));
    return err.Text();
  };
  const auto metrics = Returning(MetricsWithRatio(0.8));

  EXPECT_EQ(fitWarning(text, metrics),
            "[PdfFit] WARNING: FPDF_LoadDocument failed, PDFium error=3. Printing original PDF.\n");
  EXPECT_EQ(fitWarning(pdf,
                       [](const std::string&, PageMetrics&, std::string& error) {
                         error = "helper failed || impersonation failed || own view failed";
                         return false;
                       }),
            "[PdfFit] WARNING: cannot query printer page metrics: helper failed || "
            "impersonation failed || own view failed. Printing original PDF.\n");
  {
    tbtest::TempFolder empty;
    tbtest::PdfiumFolder noLibrary(empty.path());
    EXPECT_TRUE(std::regex_match(
        fitWarning(pdf, metrics),
        std::regex("\\[PdfFit\\] WARNING: Cannot load pdfium\\.dll\\. Put pdfium\\.dll beside "
                   "Tillerbrook\\.exe\\. Win32 error=[0-9]+\\. Printing original PDF\\.\n")));
  }
  {
    tbtest::PdfiumFolder incomplete(tbtest::IncompletePdfiumFolder("without_transform"));
    EXPECT_EQ(fitWarning(pdf, metrics),
              "[PdfFit] WARNING: pdfium.dll missing export: FPDFPage_TransFormWithClip. "
              "Printing original PDF.\n");
    std::lock_guard<std::mutex> lock(tb::pdffit::PdfiumMutex());
    EXPECT_FALSE(tb::pdffit::Pdfium().module.IsOpen());  // released again
  }
  {
    tbtest::PdfiumFolder incomplete(tbtest::IncompletePdfiumFolder("without_last_error"));
    EXPECT_EQ(
        fitWarning(pdf, metrics),
        "[PdfFit] WARNING: FPDF_LoadDocument failed, PDFium error=0. Printing original PDF.\n");
  }
}

TEST_F(PdfFit, PageAndWriteErrorsLeaveNoFiles) {
  const std::string pdf = Write("good.pdf", MakePdf({{"/MediaBox [0 0 288 432]", kBand}}));
  auto fit = [&](const std::string& source, const std::string& dest, double ratio) {
    bool changed = true;
    std::string error;
    EXPECT_FALSE(FitPdfToRatio(source, dest, ratio, changed, error));
    EXPECT_FALSE(changed);
    EXPECT_FALSE(Exists(dest + ".tmp"));
    return error;
  };
  EXPECT_EQ(fit(pdf, cache_ / "x.pdf", 0), "Invalid printer printable-area ratio");
  EXPECT_EQ(fit(Write("empty.pdf", MakePdf({})), cache_ / "x.pdf", 0.8), "PDF has no pages");
  EXPECT_EQ(
      fit(Write("bad.pdf", MakePdf({{"/MediaBox [0 0 288 432]", kBand},
                                    {"/MediaBox [0 0 50 50] /CropBox [60 60 90 90]", kBand}})),
          cache_ / "x.pdf", 0.8),
      "Invalid PDF page size at page 2");
  EXPECT_FALSE(Exists(cache_ / "x.pdf"));

  const std::string missingFolder = cache_ / "gone/x.pdf";
  EXPECT_EQ(fit(pdf, missingFolder, 0.8), "Cannot create adjusted PDF: " + missingFolder + ".tmp");
  const std::string occupied = cache_ / "occupied";
  fs::create_directories(occupied + "/inside");
  EXPECT_EQ(fit(pdf, occupied, 0.8).rfind("Move adjusted PDF into cache failed: ", 0), 0u);
}

// A link planted under the temporary name must not turn the write into one
// through the link; the copy is published readable by the print program.
TEST_F(PdfFit, TemporaryNameIsCreatedAnewNeverThroughALink) {
  const std::string pdf = Write("doc.pdf", MakePdf({{"/MediaBox [0 0 288 432]", kBand}}));
  const std::string victim = Write("victim", "keep");
  const std::string dest = cache_ / "doc_fitted.pdf";
  fs::create_symlink(victim, dest + ".tmp");
  bool changed = false;
  std::string error;
  const mode_t previous = ::umask(077);
  const bool ok = FitPdfToRatio(pdf, dest, 0.8, changed, error);
  ::umask(previous);
  ASSERT_TRUE(ok) << error;
  EXPECT_TRUE(changed);
  EXPECT_EQ(tbtest::ReadFile(victim), "keep");
  EXPECT_FALSE(fs::is_symlink(dest));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dest + ".tmp")));
  EXPECT_EQ(fs::status(dest).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  ExpectBox(BoxOf(QpdfDump(dest).Page(0), "/MediaBox"), {0, 0, 288, 360});
}

TEST_F(PdfFit, MetricsLineAndCopyName) {
  PageMetrics m = MetricsWithRatio(101.6 / 152.4);
  m.source = "helper";
  m.usedUserDevMode = true;
  m.paperWidthMm = 101.6;
  m.paperHeightMm = 152.4;
  m.printableWidthMm = 99.06;
  m.printableHeightMm = 150.0000001;
  m.printableWidthPx = 1170;
  m.printableHeightPx = 1772;
  m.leftMarginMm = 1.27;
  m.rightMarginMm = 1.27;
  m.topMarginMm = 0;
  m.bottomMarginMm = 2.4;
  m.dmOrientation = 1;
  m.dmPaperSize = 256;
  m.dmPaperWidth = 1016;
  m.dmPaperLength = 1524;
  const std::string doc = Write("m.pdf", MakePdf({{"/MediaBox [0 0 288 432]", kBand}}));
  {
    tbtest::CapturedFd out(1);
    FitDocumentForPrinter(doc, "Zebra \"4x6\"", Returning(m));
    EXPECT_EQ(out.Text().substr(0, out.Text().find('\n') + 1),
              "[PdfFit] printer=Zebra \"4x6\" metricsSource=helper devmode=user(PRINTER_INFO_9) "
              "paper=101.6x152.4mm printable=99.06x150mm printablePx=1170x1772 "
              "margins(L,R,T,B)=1.27,1.27,0,2.4 ratio=0.666667 dmOrientation=1 dmPaperSize=256 "
              "dmPaperWxL(0.1mm)=1016x1524\n");
  }
  {
    m.usedUserDevMode = false;
    tbtest::CapturedFd out(1), err(2);
    FitDocumentForPrinter(cache_ / "absent.pdf", "P", Returning(m));
    EXPECT_NE(out.Text().find(" devmode=driver-default "), std::string::npos);
    EXPECT_EQ(
        err.Text(),
        "[PdfFit] WARNING: FPDF_LoadDocument failed, PDFium error=2. Printing original PDF.\n");
  }

  EXPECT_EQ(tb::pdffit::FittedCopyPath("/c/sumatrapdfcache/0cc175b9.pdf", m),
            "/c/sumatrapdfcache/0cc175b9_printfit_v2_1170x1772.pdf");
  EXPECT_EQ(tb::pdffit::FittedCopyPath("/opt/tb.d/cache/doc", m),
            "/opt/tb.d/cache/doc_printfit_v2_1170x1772.pdf");
  EXPECT_EQ(tb::pdffit::FittedCopyPath("/c/a.b.pdf", m), "/c/a.b_printfit_v2_1170x1772.pdf");
}

}  // namespace

namespace {

// The dark pixels' bounding box as fractions of the image: left, top, right,
// bottom (right and bottom one past the last dark pixel).
std::array<double, 4> DarkArea(const tbtest::GreyImage& image) {
  int left = image.width, top = image.height, right = 0, bottom = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      if (image.at(x, y) >= 128) continue;
      left = std::min(left, x);
      top = std::min(top, y);
      right = std::max(right, x + 1);
      bottom = std::max(bottom, y + 1);
    }
  }
  return {double(left) / image.width, double(top) / image.height, double(right) / image.width,
          double(bottom) / image.height};
}

int DarkPixels(const tbtest::GreyImage& image) {
  int n = 0;
  for (unsigned char p : image.pixels) n += p < 128;
  return n;
}

bool FitTo(const std::string& source, const std::string& dest, double ratio) {
  bool changed = false;
  std::string error;
  EXPECT_TRUE(FitPdfToRatio(source, dest, ratio, changed, error)) << error;
  return changed;
}

// A black block in the lower left of the unturned page: the third of its
// width and of its height.
const char* kCornerBlock = "0 g 0 0 96 144 re f";

TEST_F(PdfFit, TurnedPagesPrintWithThePrintersShapeAtEveryAngle) {
  const std::string doc =
      Write("turned.pdf", MakePdf({{"/Rotate 0", kCornerBlock},
                                   {"/Rotate 90", kCornerBlock},
                                   {"/Rotate 180", kCornerBlock},
                                   {"/Rotate 270", kCornerBlock},
                                   {"/Rotate -90 /MediaBox [0 0 432 288]", "0 g 0 0 144 96 re f"}},
                                  "/MediaBox [0 0 288 432]"));
  const std::string copy = cache_ / "turned-fit.pdf";
  tbtest::CapturedFd out(1);
  ASSERT_TRUE(FitTo(doc, copy, 0.8));
  // Page 2 prints 432 x 288: its printed width stays and its printed height
  // becomes 432 / 0.8 = 540, which runs along the page's own x axis.
  EXPECT_NE(out.Text().find("[PdfFit] page=2 source=432x288 ratio=1.5 targetRatio=0.8 "
                            "scaleY=1.875\n"),
            std::string::npos)
      << out.Text();
  for (int page = 1; page <= 5; ++page) {
    SCOPED_TRACE("page " + std::to_string(page));
    const tbtest::GreyImage before = tbtest::RenderPage(doc, page, 72);
    const tbtest::GreyImage after = tbtest::RenderPage(copy, page, 72);
    EXPECT_EQ(after.width, before.width);  // widths are never changed
    EXPECT_NEAR(double(after.width) / after.height, 0.8, 0.005);
    // The block keeps its place on the printed page: stretched, not moved.
    const auto was = DarkArea(before), is = DarkArea(after);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(is[i], was[i], 0.01) << "edge " << i;
  }
}

TEST_F(PdfFit, InheritedBoxesAreTheOnesUsedAndHiddenContentStaysHidden) {
  // Everything outside the visible area is black; inside it is white with a
  // band over the full width from 108 to 216 above the visible bottom. A box
  // guessed wrongly shows black beside or around the band.
  auto hiddenAround = [](int left, int bottom) {
    const std::string l = std::to_string(left), b = std::to_string(bottom),
                      band = std::to_string(bottom + 108);
    return "0 g -2000 -2000 5000 5000 re f 1 g " + l + " " + b + " 288 432 re f 0 g " + l + " " +
           band + " 288 108 re f";
  };
  const std::string doc = Write(
      "inherited.pdf",
      MakePdf({{"", hiddenAround(100, 100)},                              // both boxes inherited
               {"/MediaBox [0 0 500 700]", hiddenAround(110, 120)},       // the crop inherited
               {"/CropBox [-50 -50 1000 1000]", hiddenAround(100, 100)},  // cut by the media
               {"/Rotate 90 /CropBox [110 120 398 552]", hiddenAround(110, 120)}},
              "/MediaBox [100 100 388 532] /CropBox [110 120 398 552]"));
  const std::string copy = cache_ / "inherited-fit.pdf";
  tbtest::CapturedFd out(1);
  ASSERT_TRUE(FitTo(doc, copy, 0.8));
  EXPECT_EQ(out.Text().find("kept as it is"), std::string::npos) << out.Text();

  for (int page = 1; page <= 4; ++page) {
    SCOPED_TRACE("page " + std::to_string(page));
    const tbtest::GreyImage before = tbtest::RenderPage(doc, page, 72);
    const tbtest::GreyImage after = tbtest::RenderPage(copy, page, 72);
    EXPECT_NEAR(double(after.width) / after.height, 0.8, 0.005);
    // Only the band is dark, before and after: nothing hidden came out.
    const auto was = DarkArea(before), is = DarkArea(after);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(is[i], was[i], 0.01) << "edge " << i;
    EXPECT_NEAR(double(DarkPixels(after)) / after.pixels.size(),
                double(DarkPixels(before)) / before.pixels.size(), 0.01);
  }
}

TEST_F(PdfFit, PatternSharedByThreePagesFillsEachOfThemRight) {
  // One tiling pattern, one resource dictionary for every page: each tile is
  // the page's size with its lower half black.
  tbtest::PdfWriter w;
  const int catalog = w.Reserve(), tree = w.Reserve();
  const int pattern = w.AddStream("0 g 0 0 288 216 re f",
                                  "/PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 288 432] "
                                  "/XStep 288 /YStep 432 /Resources << >>");
  const int resources = w.Add("<< /Pattern << /P " + std::to_string(pattern) + " 0 R >> >>");
  std::string kids;
  for (const char* media : {"[0 0 288 432]", "[0 0 288 432]", "[0 0 288 432]", "[0 0 288 360]"}) {
    const int content = w.AddStream("/Pattern cs /P scn 0 0 288 432 re f");
    kids += std::to_string(w.Add("<< /Type /Page /Parent 2 0 R /MediaBox " + std::string(media) +
                                 " /Resources " + std::to_string(resources) + " 0 R /Contents " +
                                 std::to_string(content) + " 0 R >>")) +
            " 0 R ";
  }
  w.Set(catalog, "<< /Type /Catalog /Pages 2 0 R >>");
  w.Set(tree, "<< /Type /Pages /Count 4 /Kids [" + kids + "] >>");
  const std::string doc = Write("shared.pdf", w.Build(catalog));
  const std::string copy = cache_ / "shared-fit.pdf";
  ASSERT_TRUE(FitTo(doc, copy, 0.8));

  for (int page = 1; page <= 3; ++page) {
    SCOPED_TRACE("page " + std::to_string(page));
    const tbtest::GreyImage after = tbtest::RenderPage(copy, page, 72);
    ASSERT_EQ(after.height, 360);
    ExpectRows(tbtest::DarkRows(after, 144), 180, 360);  // the lower half, squashed
  }
  // The page that needed nothing keeps the pattern as it was: the tile's
  // black half from 0 to 216 shows 144 to 360 on a 360 pt page.
  ExpectRows(tbtest::DarkRows(tbtest::RenderPage(copy, 4, 72), 144), 144, 360);
}

PageMetrics LabelPrinter(int dpiX, int dpiY) {
  PageMetrics m;
  m.dpiX = dpiX;
  m.dpiY = dpiY;
  m.printableWidthPx = 1200;
  m.printableHeightPx = 1800;
  m.printableWidthMm = 1200 * 25.4 / dpiX;
  m.printableHeightMm = 1800 * 25.4 / dpiY;
  m.printableRatio = m.printableWidthMm / m.printableHeightMm;
  m.source = "test";
  return m;
}

TEST_F(PdfFit, PrintersDifferingOnlyInResolutionGetTheirOwnCopies) {
  const std::string doc = Write("square.pdf", MakePdf({{"/MediaBox [0 0 288 288]", kBand}}));
  const std::string even = FitDocumentForPrinter(doc, "Even", Returning(LabelPrinter(300, 300)));
  const std::string uneven =
      FitDocumentForPrinter(doc, "Uneven", Returning(LabelPrinter(600, 300)));
  // The name existing copies have is kept when the resolutions agree.
  EXPECT_EQ(even, cache_ / "square_printfit_v2_1200x1800.pdf");
  EXPECT_EQ(uneven, cache_ / "square_printfit_v2_1200x1800_600x300dpi.pdf");
  const tbtest::GreyImage a = tbtest::RenderPage(even, 1, 72), b = tbtest::RenderPage(uneven, 1, 72);
  EXPECT_NEAR(double(a.width) / a.height, 2.0 / 3, 0.005);
  EXPECT_NEAR(double(b.width) / b.height, 1.0 / 3, 0.005);

  // Each printer finds its own copy again.
  tbtest::CapturedFd out(1);
  EXPECT_EQ(FitDocumentForPrinter(doc, "Uneven", Returning(LabelPrinter(600, 300))), uneven);
  EXPECT_EQ(FitDocumentForPrinter(doc, "Even", Returning(LabelPrinter(300, 300))), even);
}

}  // namespace
