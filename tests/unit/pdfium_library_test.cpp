// Our qpdf-backed libpdfium.so, loaded the way the daemon loads it and
// checked against what the qpdf tool reads back from the files it writes.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "pdffit/pdfium_api.h"
#include "support/daemon_harness.h"
#include "support/test_pdf.h"
#include "unit/pdfium_test_folder.h"

namespace {

using tb::pdffit::Pdfium;
using tb::pdffit::PdfiumApi;
using tbtest::MakePdf;
using tbtest::QpdfDump;

class PdfiumLibrary : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(tb::pdffit::LoadPdfium(error)) << error;
    tb::pdffit::EnsurePdfiumInitialized();
  }

  using DocPtr = std::unique_ptr<fpdf_document_t__, void (*)(FPDF_DOCUMENT)>;
  using PagePtr = std::unique_ptr<fpdf_page_t__, void (*)(FPDF_PAGE)>;

  DocPtr Open(const std::string& pdfText) {
    const std::string path = folder_ / ("doc" + std::to_string(++count_) + ".pdf");
    tbtest::WriteFile(path, pdfText);
    return OpenPath(path);
  }
  DocPtr OpenPath(const std::string& path) {
    return DocPtr(api().FPDF_LoadDocument(path.c_str(), nullptr), api().FPDF_CloseDocument);
  }
  PagePtr Page(const DocPtr& doc, int index) {
    return PagePtr(api().FPDF_LoadPage(doc.get(), index), api().FPDF_ClosePage);
  }
  // Saves through the write callback in whatever pieces the library hands out.
  std::string Save(const DocPtr& doc) {
    struct Sink : FPDF_FILEWRITE {
      std::string data;
    } sink;
    sink.version = 1;
    sink.WriteBlock = [](FPDF_FILEWRITE* self, const void* data, unsigned long size) {
      static_cast<Sink*>(self)->data.append(static_cast<const char*>(data), size);
      return 1;
    };
    EXPECT_TRUE(api().FPDF_SaveAsCopy(doc.get(), &sink, 2));
    const std::string path = folder_ / ("saved" + std::to_string(++count_) + ".pdf");
    tbtest::WriteFile(path, sink.data);
    return path;
  }
  const PdfiumApi& api() const { return Pdfium(); }

  tbtest::TempFolder folder_;
  int count_ = 0;
  tbtest::PdfiumFolder library_{tbtest::BuiltPdfiumFolder()};
  std::unique_lock<std::mutex> lock_{tb::pdffit::PdfiumMutex()};
};

TEST_F(PdfiumLibrary, ExportsExactlyTheEntryPointsTheDaemonCalls) {
  std::istringstream names(tbtest::RunCommand("nm -D --defined-only '" +
                                              tbtest::BuiltPdfiumFolder() +
                                              "/libpdfium.so' | awk '{print $3}'"));
  std::set<std::string> exported;
  for (std::string name; names >> name;) exported.insert(name);
  EXPECT_EQ(exported,
            (std::set<std::string>{
                "FPDF_InitLibrary", "FPDF_DestroyLibrary", "FPDF_LoadDocument",
                "FPDF_CloseDocument", "FPDF_GetPageCount", "FPDF_LoadPage", "FPDF_ClosePage",
                "FPDF_GetPageWidth", "FPDF_GetPageHeight", "FPDFPage_GetMediaBox",
                "FPDFPage_GetCropBox", "FPDFPage_SetMediaBox", "FPDFPage_SetCropBox",
                "FPDFPage_TransFormWithClip", "FPDF_SaveAsCopy", "FPDF_GetLastError",
                "FPDFPage_GetRotation", "FPDF_GetPageBoundingBox"}));
}

TEST_F(PdfiumLibrary, PageSizeUsesInheritedBoxesCropWithinMediaAndRotation) {
  DocPtr doc = Open(MakePdf(
      {
          {"", "0 g"},                                     // everything inherited
          {"/CropBox [10 20 110 220]", "0 g"},             // own crop, inherited media
          {"/Rotate 90", "0 g"},                           // own rotation
          {"/Rotate -90 /MediaBox [200 300 0 0]", "0 g"},  // reversed numbers
          {"/Rotate 180", "0 g"},                          // overrides inherited 270
          {"/CropBox [-10 -10 100 100] /MediaBox [0 0 50 400]", "0 g"},
          {"/CropBox [0 0 0 0]", "0 g"},                // empty crop box
          {"/MediaBox [0 0 100]", "0 g"},               // malformed media box
          {"/Rotate 450 /MediaBox [0 0 0 50]", "0 g"},  // zero-area media box
      },
      "/MediaBox [0 0 200 300] /Rotate 270"));
  ASSERT_TRUE(doc);
  EXPECT_EQ(api().FPDF_GetPageCount(doc.get()), 9);
  const double expected[][2] = {{300, 200}, {200, 100}, {300, 200}, {300, 200}, {200, 300},
                                {100, 50},  {300, 200}, {792, 612}, {792, 612}};
  for (int i = 0; i < 9; ++i) {
    PagePtr page = Page(doc, i);
    ASSERT_TRUE(page) << i;
    EXPECT_EQ(api().FPDF_GetPageWidth(page.get()), expected[i][0]) << "page " << i + 1;
    EXPECT_EQ(api().FPDF_GetPageHeight(page.get()), expected[i][1]) << "page " << i + 1;
  }
  EXPECT_FALSE(Page(doc, 9));
  EXPECT_FALSE(Page(doc, -1));

  // Rotation in quarter turns, and the visible area unturned, both as
  // inherited.
  const int turns[] = {3, 3, 1, 3, 2, 3, 3, 3, 1};
  const std::array<float, 4> visible[] = {{0, 0, 200, 300},  {10, 20, 110, 220}, {0, 0, 200, 300},
                                          {0, 0, 200, 300},  {0, 0, 200, 300},   {0, 0, 50, 100},
                                          {0, 0, 200, 300},  {0, 0, 612, 792},   {0, 0, 612, 792}};
  for (int i = 0; i < 9; ++i) {
    PagePtr page = Page(doc, i);
    EXPECT_EQ(api().FPDFPage_GetRotation(page.get()), turns[i]) << "page " << i + 1;
    FS_RECTF r{};
    ASSERT_TRUE(api().FPDF_GetPageBoundingBox(page.get(), &r));
    EXPECT_EQ((std::array<float, 4>{r.left, r.bottom, r.right, r.top}), visible[i])
        << "page " << i + 1;
  }
}

TEST_F(PdfiumLibrary, BoxReadsSeeOnlyThePagesOwnRawValues) {
  DocPtr doc =
      Open(MakePdf({{"/CropBox [10 20 110 220]", "0 g"}, {"/MediaBox [200 300 0.5 0]", "0 g"}},
                   "/MediaBox [0 0 200 300] /CropBox [1 2 3 4]"));
  PagePtr inherited = Page(doc, 0);
  float l = -1, b = -1, r = -1, t = -1;
  EXPECT_FALSE(api().FPDFPage_GetMediaBox(inherited.get(), &l, &b, &r, &t));
  EXPECT_EQ((std::array<float, 4>{l, b, r, t}), (std::array<float, 4>{-1, -1, -1, -1}));
  EXPECT_TRUE(api().FPDFPage_GetCropBox(inherited.get(), &l, &b, &r, &t));
  EXPECT_EQ((std::array<float, 4>{l, b, r, t}), (std::array<float, 4>{10, 20, 110, 220}));

  PagePtr own = Page(doc, 1);
  EXPECT_TRUE(api().FPDFPage_GetMediaBox(own.get(), &l, &b, &r, &t));
  EXPECT_EQ((std::array<float, 4>{l, b, r, t}), (std::array<float, 4>{200, 300, 0.5f, 0}));
  EXPECT_FALSE(api().FPDFPage_GetCropBox(own.get(), &l, &b, &r, &t));
}

TEST_F(PdfiumLibrary, BoxWritesShadowTheInheritedBoxAndResizeAtOnce) {
  DocPtr doc = Open(MakePdf({{"", "0 g"}}, "/MediaBox [0 0 200 300]"));
  PagePtr page = Page(doc, 0);
  api().FPDFPage_SetMediaBox(page.get(), 0, 0, 100, 50.25f);
  EXPECT_EQ(api().FPDF_GetPageWidth(page.get()), 100);
  EXPECT_EQ(api().FPDF_GetPageHeight(page.get()), 50.25);
  api().FPDFPage_SetCropBox(page.get(), 10, 5, 60, 45);
  EXPECT_EQ(api().FPDF_GetPageWidth(page.get()), 50);
  EXPECT_EQ(api().FPDF_GetPageHeight(page.get()), 40);
  float l, b, r, t;
  ASSERT_TRUE(api().FPDFPage_GetMediaBox(page.get(), &l, &b, &r, &t));
  EXPECT_EQ(t, 50.25f);

  QpdfDump saved(Save(doc));
  EXPECT_EQ(tbtest::BoxOf(saved.Page(0), "/MediaBox"), (std::array<double, 4>{0, 0, 100, 50.25}));
  EXPECT_EQ(tbtest::BoxOf(saved.Page(0), "/CropBox"), (std::array<double, 4>{10, 5, 60, 45}));
  const nlohmann::json tree = saved.Resolve(saved.Page(0).at("/Parent"));
  EXPECT_EQ(tbtest::BoxOf(tree, "/MediaBox"), (std::array<double, 4>{0, 0, 200, 300}));
}

TEST_F(PdfiumLibrary, TransformWrapsContentAndMovesPatternsButNotBoxes) {
  tbtest::PdfWriter w;
  const int catalog = w.Reserve(), tree = w.Reserve();
  const int single = w.AddStream("0 0 10 10 re f");
  const int partA = w.AddStream("0 g"), partB = w.AddStream("0 0 5 5 re f");
  const int tiling = w.AddStream("0 0 1 1 re f",
                                 "/PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 1 1] "
                                 "/XStep 1 /YStep 1 /Resources << >> /Matrix [2 0 0 2 5 5]");
  const int p1 =
      w.Add("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 200] /Contents " +
            std::to_string(single) + " 0 R /Resources << /Pattern << /T " + std::to_string(tiling) +
            " 0 R /S << /PatternType 2 /Shading << /ShadingType 2 /ColorSpace "
            "/DeviceGray /Coords [0 0 1 0] /Function << /FunctionType 2 /Domain "
            "[0 1] /N 1 >> >> >> >> >> >>");
  const int p2 = w.Add("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 200] /Contents [" +
                       std::to_string(partA) + " 0 R " + std::to_string(partB) + " 0 R] >>");
  const int p3 = w.Add("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 200] >>");
  w.Set(catalog, "<< /Type /Catalog /Pages 2 0 R >>");
  w.Set(tree, "<< /Type /Pages /Count 3 /Kids [" + std::to_string(p1) + " 0 R " +
                  std::to_string(p2) + " 0 R " + std::to_string(p3) + " 0 R] >>");
  DocPtr doc = Open(w.Build(catalog));
  ASSERT_TRUE(doc);

  const FS_MATRIX m{1, 0, 0, 0.5f, 0, 10};
  const FS_RECTF clip{40, 20, 10, 60};  // left, top, right, bottom: reversed on purpose
  PagePtr first = Page(doc, 0), second = Page(doc, 1), third = Page(doc, 2);
  EXPECT_FALSE(api().FPDFPage_TransFormWithClip(first.get(), nullptr, nullptr));
  EXPECT_FALSE(api().FPDFPage_TransFormWithClip(third.get(), &m, nullptr));  // no /Contents
  EXPECT_TRUE(api().FPDFPage_TransFormWithClip(first.get(), &m, nullptr));
  EXPECT_TRUE(api().FPDFPage_TransFormWithClip(second.get(), &m, &clip));
  EXPECT_EQ(api().FPDF_GetPageHeight(first.get()), 200);

  QpdfDump saved(Save(doc));
  const nlohmann::json c1 = saved.Resolve(saved.Page(0).at("/Contents"));
  ASSERT_EQ(c1.size(), 3u);
  EXPECT_EQ(saved.StreamData(c1[0]), "q 1 0 0 0.5 0 10 cm ");
  EXPECT_EQ(saved.StreamData(c1[1]), "0 0 10 10 re f");
  EXPECT_EQ(saved.StreamData(c1[2]), " Q");
  const nlohmann::json c2 = saved.Resolve(saved.Page(1).at("/Contents"));
  ASSERT_EQ(c2.size(), 4u);
  EXPECT_EQ(saved.StreamData(c2[0]), "q 10 20 30 40 re W* n 1 0 0 0.5 0 10 cm ");
  EXPECT_EQ(saved.StreamData(c2[1]), "0 g");
  EXPECT_EQ(saved.StreamData(c2[2]), "0 0 5 5 re f");
  EXPECT_EQ(saved.StreamData(c2[3]), " Q");
  EXPECT_EQ(tbtest::BoxOf(saved.Page(0), "/MediaBox"), (std::array<double, 4>{0, 0, 100, 200}));

  const nlohmann::json patterns =
      saved.Resolve(saved.Resolve(saved.Page(0).at("/Resources")).at("/Pattern"));
  EXPECT_EQ(saved.Resolve(patterns.at("/T")).at("/Matrix"), nlohmann::json({2, 0, 0, 1, 5, 12.5}));
  EXPECT_EQ(saved.Resolve(patterns.at("/S")).at("/Matrix"), nlohmann::json({1, 0, 0, 0.5, 0, 10}));
}

TEST_F(PdfiumLibrary, SharedPatternsMoveOncePerTransformAndOnlyForTheTransformedPages) {
  tbtest::PdfWriter w;
  const int catalog = w.Reserve(), tree = w.Reserve();
  const int tiling = w.AddStream("0 0 1 1 re f",
                                 "/PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 1 1] "
                                 "/XStep 1 /YStep 1 /Resources << >> /Matrix [2 0 0 2 5 5]");
  const int shading = w.Add(
      "<< /PatternType 2 /Shading << /ShadingType 2 /ColorSpace /DeviceGray /Coords [0 0 1 0] "
      "/Function << /FunctionType 2 /Domain [0 1] /N 1 >> >> >>");
  const int resources = w.Add("<< /Pattern << /T " + std::to_string(tiling) + " 0 R /S " +
                              std::to_string(shading) + " 0 R >> >>");
  // The first two pages also share one contents array.
  const int sharedContents = w.Add("[" + std::to_string(w.AddStream("0 g")) + " 0 R]");
  std::string kids;
  for (int i = 0; i < 4; ++i) {
    const int contents = i < 2 ? sharedContents : w.AddStream("0 g");
    kids += std::to_string(w.Add("<< /Type /Page /Parent 2 0 R /Contents " +
                                 std::to_string(contents) + " 0 R >>")) +
            " 0 R ";
  }
  w.Set(catalog, "<< /Type /Catalog /Pages 2 0 R >>");
  // The resources are inherited from the tree, as many generators write them.
  w.Set(tree, "<< /Type /Pages /Count 4 /MediaBox [0 0 100 200] /Resources " +
                  std::to_string(resources) + " 0 R /Kids [" + kids + "] >>");
  DocPtr doc = Open(w.Build(catalog));
  ASSERT_TRUE(doc);
  const FS_MATRIX half{1, 0, 0, 0.5f, 0, 10}, twice{1, 0, 0, 2, 0, 0};
  EXPECT_TRUE(api().FPDFPage_TransFormWithClip(Page(doc, 0).get(), &half, nullptr));
  EXPECT_TRUE(api().FPDFPage_TransFormWithClip(Page(doc, 1).get(), &half, nullptr));
  EXPECT_TRUE(api().FPDFPage_TransFormWithClip(Page(doc, 2).get(), &twice, nullptr));

  QpdfDump saved(Save(doc));
  auto patterns = [&](size_t page) {
    const nlohmann::json dict = saved.Page(page);
    const nlohmann::json res = dict.contains("/Resources")
                                   ? saved.Resolve(dict.at("/Resources"))
                                   : saved.Resolve(saved.Resolve(dict.at("/Parent")).at("/Resources"));
    return saved.Resolve(res.at("/Pattern"));
  };
  auto matrixOf = [&](size_t page, const char* name) {
    return saved.Resolve(patterns(page).at(name)).value("/Matrix", nlohmann::json());
  };
  for (size_t page : {0u, 1u}) {
    EXPECT_EQ(matrixOf(page, "/T"), nlohmann::json({2, 0, 0, 1, 5, 12.5}));
    EXPECT_EQ(matrixOf(page, "/S"), nlohmann::json({1, 0, 0, 0.5, 0, 10}));
  }
  EXPECT_EQ(patterns(0).at("/T"), patterns(1).at("/T"));  // one copy per transform
  for (size_t page : {0u, 1u}) {  // each wrapped once
    const nlohmann::json contents = saved.Resolve(saved.Page(page).at("/Contents"));
    ASSERT_EQ(contents.size(), 3u);
    EXPECT_EQ(saved.StreamData(contents[0]), "q 1 0 0 0.5 0 10 cm ");
  }
  EXPECT_EQ(matrixOf(2, "/T"), nlohmann::json({2, 0, 0, 4, 5, 10}));
  EXPECT_EQ(matrixOf(3, "/T"), nlohmann::json({2, 0, 0, 2, 5, 5}));  // untouched
  EXPECT_TRUE(matrixOf(3, "/S").is_null());
}

TEST_F(PdfiumLibrary, SaveAsCopyRoundTripsAndStopsWhenTheSinkFails) {
  DocPtr doc = Open(MakePdf({{"/MediaBox [0 0 288 432]", "0 g"}, {"/MediaBox [0 0 100 100]", ""}}));
  const std::string path = Save(doc);
  int status = -1;
  tbtest::RunCommand("qpdf --check '" + path + "' >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  DocPtr again = OpenPath(path);
  ASSERT_TRUE(again);
  EXPECT_EQ(api().FPDF_GetPageCount(again.get()), 2);
  EXPECT_EQ(api().FPDF_GetPageHeight(Page(again, 0).get()), 432);

  struct Failing : FPDF_FILEWRITE {
    int calls = 0;
  } failing;
  failing.version = 1;
  failing.WriteBlock = [](FPDF_FILEWRITE* self, const void*, unsigned long) {
    ++static_cast<Failing*>(self)->calls;
    return 0;
  };
  EXPECT_FALSE(api().FPDF_SaveAsCopy(doc.get(), &failing, 2));
  EXPECT_EQ(failing.calls, 1);  // nothing more is offered after a refusal
}

TEST_F(PdfiumLibrary, LoadErrorsAreFileFormatPasswordAndProcessWide) {
  const std::string plain = folder_ / "plain.pdf";
  const std::string locked = folder_ / "locked.pdf";
  const std::string text = folder_ / "text.pdf";
  tbtest::WriteFile(plain, MakePdf({{"/MediaBox [0 0 10 10]", "0 g"}}));
  tbtest::WriteFile(text, "this is not a PDF document\n");
  int status = -1;
  tbtest::RunCommand("qpdf --encrypt secret owner 256 -- '" + plain + "' '" + locked + "'",
                     &status);
  ASSERT_EQ(status, 0);

  EXPECT_FALSE(OpenPath(folder_ / "absent.pdf"));
  EXPECT_EQ(api().FPDF_GetLastError(), 2u);
  EXPECT_FALSE(OpenPath(text));
  EXPECT_EQ(api().FPDF_GetLastError(), 3u);
  EXPECT_FALSE(OpenPath(locked));
  EXPECT_EQ(api().FPDF_GetLastError(), 4u);
  DocPtr unlocked(api().FPDF_LoadDocument(locked.c_str(), "secret"), api().FPDF_CloseDocument);
  EXPECT_TRUE(unlocked);
  EXPECT_EQ(api().FPDF_GetLastError(), 0u);

  std::thread([&] { EXPECT_FALSE(OpenPath(text)); }).join();
  EXPECT_EQ(api().FPDF_GetLastError(), 3u);
}

}  // namespace
