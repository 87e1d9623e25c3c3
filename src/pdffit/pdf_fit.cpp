#include "pdffit/pdf_fit.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <locale>
#include <mutex>
#include <sstream>
#include <system_error>

#include "pdffit/pdfium_api.h"
#include "platform/file_ops.h"
#include "platform/utf8_path.h"
#include "service/logging.h"

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

class DocumentHandle {
 public:
  DocumentHandle(const PdfiumApi& api, FPDF_DOCUMENT doc) : api_(api), doc_(doc) {}
  ~DocumentHandle() {
    if (doc_) api_.FPDF_CloseDocument(doc_);
  }
  DocumentHandle(const DocumentHandle&) = delete;
  DocumentHandle& operator=(const DocumentHandle&) = delete;
  FPDF_DOCUMENT get() const { return doc_; }

 private:
  const PdfiumApi& api_;
  FPDF_DOCUMENT doc_;
};

class PageHandle {
 public:
  PageHandle(const PdfiumApi& api, FPDF_PAGE page) : api_(api), page_(page) {}
  ~PageHandle() {
    if (page_) api_.FPDF_ClosePage(page_);
  }
  PageHandle(const PageHandle&) = delete;
  PageHandle& operator=(const PageHandle&) = delete;
  FPDF_PAGE get() const { return page_; }

 private:
  const PdfiumApi& api_;
  FPDF_PAGE page_;
};

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

// The save callback's view of the open file. Once the stream has failed
// nothing more is written and the library is told to stop.
struct FileSink : FPDF_FILEWRITE {
  std::ofstream* out = nullptr;
};

int WriteBlockToFile(FPDF_FILEWRITE* self, const void* data, unsigned long size) {
  std::ofstream& out = *static_cast<FileSink*>(self)->out;
  if (!out.good()) return 0;
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return out.good() ? 1 : 0;
}

std::string PageError(const char* text, int pageNumber) {
  return text + std::to_string(pageNumber);
}

// Scales one page that needs it. True when the page was left alone or
// transformed; `changed` tells which.
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

  float mediaL = 0, mediaB = 0, mediaR = 0, mediaT = 0;
  if (!api.FPDFPage_GetMediaBox(page.get(), &mediaL, &mediaB, &mediaR, &mediaT)) {
    mediaL = 0;
    mediaB = 0;
    mediaR = static_cast<float>(w);
    mediaT = static_cast<float>(h);
  }
  float cropL = 0, cropB = 0, cropR = 0, cropT = 0;
  if (!api.FPDFPage_GetCropBox(page.get(), &cropL, &cropB, &cropR, &cropT)) {
    cropL = mediaL;
    cropB = mediaB;
    cropR = mediaR;
    cropT = mediaT;
  }
  double cropWidth = cropR - cropL;
  double cropHeight = cropT - cropB;
  if (!(cropWidth > 0 && cropHeight > 0)) {
    cropWidth = w;
    cropHeight = h;
    cropL = 0;
    cropB = 0;
    cropR = static_cast<float>(w);
    cropT = static_cast<float>(h);
  }

  const double s = cropWidth / r / cropHeight;
  if (!std::isfinite(s) || s <= 0) {
    error = PageError("Invalid PDF Y scale at page ", number);
    return false;
  }
  // y' = sf*y + f keeps the crop box's bottom edge in place.
  const float sf = static_cast<float>(s);
  const float f = (1.0f - sf) * cropB;
  const FS_MATRIX matrix{1.0f, 0.0f, 0.0f, sf, 0.0f, f};
  if (!api.FPDFPage_TransFormWithClip(page.get(), &matrix, nullptr)) {
    error = PageError("FPDFPage_TransFormWithClip failed at page ", number);
    return false;
  }
  api.FPDFPage_SetMediaBox(page.get(), mediaL, sf * mediaB + f, mediaR, sf * mediaT + f);
  api.FPDFPage_SetCropBox(page.get(), cropL, sf * cropB + f, cropR, sf * cropT + f);

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

  TemporaryFile guard(temp);  // declared before the stream: closed, then removed
  std::ofstream out(temp, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!out.is_open()) {
    error = "Cannot create adjusted PDF: " + tempPath;
    return false;
  }
  FileSink sink;
  sink.version = 1;
  sink.WriteBlock = &WriteBlockToFile;
  sink.out = &out;
  if (!api.FPDF_SaveAsCopy(doc, &sink, abi::kNoIncremental)) {
    error = "FPDF_SaveAsCopy failed";
    return false;
  }
  out.flush();
  if (!out.good()) {
    error = "Writing adjusted PDF failed";
    return false;
  }
  out.close();
  if (out.fail()) {
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
  return stem + "_printfit_v2_" + std::to_string(metrics.printableWidthPx) + "x" +
         std::to_string(metrics.printableHeightPx) + ".pdf";
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
