#include "pdffit/pdf_fit.h"

#include <cmath>
#include <filesystem>
#include <memory>
#include <locale>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>

#include "pdffit/page_plan.h"
#include "pdffit/pdfium_api.h"
#include "platform/file_ops.h"
#include "platform/utf8_path.h"
#include "base/logging.h"

namespace tb::pdffit {
namespace {

constexpr double kRatioTolerance = 0.001;

// Log text for numbers: the stream's default format (six significant digits
// for doubles), independent of the process locale.
class LineBuilder {
 public:
  LineBuilder() { out_.imbue(std::locale::classic()); }
  template <typename T>
  LineBuilder& operator<<(const T& value) {
    out_ << value;
    return *this;
  }
  std::string str() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

// A PDFium object closed with its own close call on every path.
template <typename Object, void(TB_FPDF_CALLCONV* PdfiumApi::*Close)(Object)>
class PdfiumObject {
 public:
  PdfiumObject(const PdfiumApi& api, Object object) : api_(api), object_(object) {}
  ~PdfiumObject() {
    if (object_) (api_.*Close)(object_);
  }
  PdfiumObject(const PdfiumObject&) = delete;
  PdfiumObject& operator=(const PdfiumObject&) = delete;
  Object get() const { return object_; }

 private:
  const PdfiumApi& api_;
  Object object_;
};

using DocumentHandle = PdfiumObject<FPDF_DOCUMENT, &PdfiumApi::FPDF_CloseDocument>;
using PageHandle = PdfiumObject<FPDF_PAGE, &PdfiumApi::FPDF_ClosePage>;

// Removes the temporary file on every path that did not publish it.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (armed_) {
      std::error_code ec;
      std::filesystem::remove(path_, ec);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  void Disarm() { armed_ = false; }

 private:
  std::filesystem::path path_;
  bool armed_ = true;
};

// The save callback's view of the open file. Once a write has failed
// nothing more is written and the library is told to stop.
struct FileSink : FPDF_FILEWRITE {
  platform::NewFile* out = nullptr;
  bool failed = false;
};

int WriteBlockToFile(FPDF_FILEWRITE* self, const void* data, unsigned long size) {
  FileSink& sink = *static_cast<FileSink*>(self);
  if (sink.failed) return 0;
  sink.failed = !sink.out->Write(data, size);
  return sink.failed ? 0 : 1;
}

std::optional<Box> ReadBox(abi::GetBoxFn read, FPDF_PAGE page) {
  Box b;
  if (!read(page, &b.left, &b.bottom, &b.right, &b.top)) return std::nullopt;
  return b;
}

// Everything the library can tell about where the page shows what; the two
// optional reads are used when the library has them.
PageFacts ReadPageFacts(const PdfiumApi& api, FPDF_PAGE page, double w, double h) {
  PageFacts facts;
  facts.width = w;
  facts.height = h;
  if (api.FPDFPage_GetRotation) facts.quarterTurns = api.FPDFPage_GetRotation(page);
  FS_RECTF bounds{};
  if (api.FPDF_GetPageBoundingBox && api.FPDF_GetPageBoundingBox(page, &bounds)) {
    facts.visible = Box{bounds.left, bounds.bottom, bounds.right, bounds.top};
  }
  facts.ownMedia = ReadBox(api.FPDFPage_GetMediaBox, page);
  facts.ownCrop = ReadBox(api.FPDFPage_GetCropBox, page);
  return facts;
}

std::string PageError(const char* text, int pageNumber) {
  return text + std::to_string(pageNumber);
}

// Scales one page that needs it so that it prints with the ratio `r`. True
// when the page was left alone or transformed; `changed` tells which.
bool FitPage(const PdfiumApi& api, FPDF_DOCUMENT doc, int index, double r, bool& changed,
             std::string& error) {
  const int number = index + 1;
  PageHandle page(api, api.FPDF_LoadPage(doc, index));
  if (!page.get()) {
    error = PageError("FPDF_LoadPage failed at page ", number);
    return false;
  }
  const double w = api.FPDF_GetPageWidth(page.get());
  const double h = api.FPDF_GetPageHeight(page.get());
  if (!(w > 0 && h > 0)) {
    error = PageError("Invalid PDF page size at page ", number);
    return false;
  }
  const double pageRatio = w / h;
  if (std::fabs(pageRatio - r) / r <= kRatioTolerance) return true;

  PagePlan plan;
  std::string reason;
  if (!PlanPage(ReadPageFacts(api, page.get(), w, h), plan, reason)) {
    // Writing boxes from a guess could uncover what the document hides.
    LogInfo((LineBuilder() << "[PdfFit] page=" << number << " kept as it is: " << reason).str());
    return true;
  }
  PageFit fit;
  if (!FitPlan(plan, r, fit)) {
    error = PageError("Invalid PDF Y scale at page ", number);
    return false;
  }
  const double s = fit.scale;
  if (!api.FPDFPage_TransFormWithClip(page.get(), &fit.matrix, nullptr)) {
    error = PageError("FPDFPage_TransFormWithClip failed at page ", number);
    return false;
  }
  api.FPDFPage_SetMediaBox(page.get(), fit.media.left, fit.media.bottom, fit.media.right,
                           fit.media.top);
  api.FPDFPage_SetCropBox(page.get(), fit.crop.left, fit.crop.bottom, fit.crop.right,
                          fit.crop.top);

  changed = true;
  LogInfo((LineBuilder() << "[PdfFit] page=" << number << " source=" << w << "x" << h
                         << " ratio=" << pageRatio << " targetRatio=" << r << " scaleY=" << s)
              .str());
  return true;
}

// Saves the document through a temporary file and publishes it under
// `destination` with one move.
bool WriteFittedCopy(const PdfiumApi& api, FPDF_DOCUMENT doc, const std::string& destination,
                     std::string& error) {
  const std::string tempPath = destination + ".tmp";
  const std::filesystem::path temp = PathFromUtf8(tempPath);
  std::error_code ec;
  std::filesystem::remove(temp, ec);  // a leftover from an interrupted run

  TemporaryFile guard(temp);  // declared before the file: closed, then removed
  uint32_t createError = 0;
  std::unique_ptr<platform::NewFile> out = platform::CreateNewFile(tempPath, createError);
  if (!out) {
    error = "Cannot create adjusted PDF: " + tempPath;
    return false;
  }
  FileSink sink;
  sink.version = 1;
  sink.WriteBlock = &WriteBlockToFile;
  sink.out = out.get();
  if (!api.FPDF_SaveAsCopy(doc, &sink, abi::kNoIncremental)) {
    error = "FPDF_SaveAsCopy failed";
    return false;
  }
  // A copy is reused for as long as it exists, so its data must be on disk
  // before its name is: after a power cut the name never points at less.
  if (sink.failed || !out->Sync() || !out->Close()) {
    error = "Writing adjusted PDF failed";
    return false;
  }
  uint32_t moveError = 0;
  if (!platform::MoveFileReplacing(tempPath, destination, moveError)) {
    error = "Move adjusted PDF into cache failed: " + std::to_string(moveError);
    return false;
  }
  guard.Disarm();
  return true;
}

std::string DevModeName(bool usedUserDevMode) {
  return usedUserDevMode ? "user(PRINTER_INFO_9)" : "driver-default";
}

}  // namespace

std::string FittedCopyPath(const std::string& document, const metrics::PageMetrics& metrics) {
  // Only a dot in the file name starts the extension, so the copy always
  // lands in the document's own folder.
  std::string::size_type nameStart = document.find_last_of("\\/");
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  std::string::size_type dot = document.find_last_of('.');
  std::string stem =
      (dot == std::string::npos || dot < nameStart) ? document : document.substr(0, dot);
  std::string name = stem + "_printfit_v2_" + std::to_string(metrics.printableWidthPx) + "x" +
                     std::to_string(metrics.printableHeightPx);
  // Unequal resolutions change the ratio of the same pixel size, so they key
  // the copy too; equal ones keep the name existing copies have.
  if (metrics.dpiX != metrics.dpiY) {
    name += "_" + std::to_string(metrics.dpiX) + "x" + std::to_string(metrics.dpiY) + "dpi";
  }
  return name + ".pdf";
}

bool FitPdfToRatio(const std::string& source, const std::string& destination, double targetRatio,
                   bool& changed, std::string& error) {
  changed = false;
  const double r = targetRatio;
  if (!std::isfinite(r) || r <= 0) {
    error = "Invalid printer printable-area ratio";
    return false;
  }

  std::lock_guard<std::mutex> lock(PdfiumMutex());
  PdfiumApi& api = Pdfium();
  if (!api.module.IsOpen() && !LoadPdfium(error)) return false;
  EnsurePdfiumInitialized();

  DocumentHandle doc(api, api.FPDF_LoadDocument(source.c_str(), nullptr));
  if (!doc.get()) {
    error = "FPDF_LoadDocument failed, PDFium error=" + std::to_string(PdfiumLastError());
    return false;
  }
  const int pageCount = api.FPDF_GetPageCount(doc.get());
  if (pageCount < 1) {
    error = "PDF has no pages";
    return false;
  }
  bool anyChanged = false;
  for (int i = 0; i < pageCount; ++i) {
    if (!FitPage(api, doc.get(), i, r, anyChanged, error)) return false;
  }
  if (!anyChanged) return true;
  if (!WriteFittedCopy(api, doc.get(), destination, error)) return false;
  changed = true;
  return true;
}

std::string FitDocumentForPrinter(const std::string& document, const std::string& printer,
                                  const MetricsLookup& lookup) {
  metrics::PageMetrics m;
  std::string error;
  if (!lookup(printer, m, error)) {
    LogError("[PdfFit] WARNING: cannot query printer page metrics: " + LogValue(error) +
             ". Printing original PDF.");
    return document;
  }
  LogInfo(
      (LineBuilder() << "[PdfFit] printer=" << LogValue(printer) << " metricsSource=" << m.source
                     << " devmode=" << DevModeName(m.usedUserDevMode) << " paper=" << m.paperWidthMm
                     << "x" << m.paperHeightMm << "mm"
                     << " printable=" << m.printableWidthMm << "x" << m.printableHeightMm << "mm"
                     << " printablePx=" << m.printableWidthPx << "x" << m.printableHeightPx
                     << " margins(L,R,T,B)=" << m.leftMarginMm << "," << m.rightMarginMm << ","
                     << m.topMarginMm << "," << m.bottomMarginMm << " ratio=" << m.printableRatio
                     << " dmOrientation=" << m.dmOrientation << " dmPaperSize=" << m.dmPaperSize
                     << " dmPaperWxL(0.1mm)=" << m.dmPaperWidth << "x" << m.dmPaperLength)
          .str());

  const std::string copy = FittedCopyPath(document, m);
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(PathFromUtf8(copy), ec);
  if (!ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
    platform::SetFileTimesToNow(copy);
    LogInfo("[PdfFit] reuse cache: " + copy);
    return copy;
  }

  bool changed = false;
  if (!FitPdfToRatio(document, copy, m.printableRatio, changed, error)) {
    LogError("[PdfFit] WARNING: " + LogValue(error) + ". Printing original PDF.");
    return document;
  }
  if (!changed) {
    LogInfo("[PdfFit] PDF ratio already matches printer; no transform.");
    return document;
  }
  LogInfo("[PdfFit] adjusted PDF: " + copy);
  return copy;
}

}  // namespace tb::pdffit
