// The PDF library the daemon loads at run time: the entry points it calls,
// with their C signatures and observable behaviour, built on qpdf. Nothing
// here may let a C++ exception cross the C interface.
#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjGen.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFSystemError.hh>
#include <qpdf/QPDFWriter.hh>
#include <string>
#include <type_traits>
#include <vector>

#include "pdffit/pdfium_abi.h"

#define TB_PDF_EXPORT extern "C" __attribute__((visibility("default")))

namespace abi = tb::pdffit::abi;

namespace {

// Process-wide, as callers of the C interface expect.
std::atomic<unsigned long> g_lastError{abi::kErrSuccess};

// A matrix by the bits of its numbers, so that any float orders well.
using MatrixKey = std::array<uint32_t, 6>;

struct Document {
  QPDF pdf;
  std::vector<QPDFObjectHandle> pages;
  // Moved copies of patterns by original and transform: pages that share a
  // pattern and get the same transform share one copy.
  std::map<std::pair<QPDFObjGen, MatrixKey>, QPDFObjectHandle> movedPatterns;
  // The content pieces that wrap transformed pages, one object per distinct
  // text: every new object costs qpdf a walk over all objects.
  std::map<std::string, QPDFObjectHandle> wrapStreams;
};

Document* AsDocument(FPDF_DOCUMENT handle) { return reinterpret_cast<Document*>(handle); }

struct Rect {
  float left = 0;
  float bottom = 0;
  float right = 0;
  float top = 0;

  bool IsEmpty() const { return left >= right || bottom >= top; }
  void Normalize() {
    if (left > right) std::swap(left, right);
    if (bottom > top) std::swap(bottom, top);
  }
  // An intersection that would be inverted collapses to the zero rectangle.
  void Intersect(Rect other) {
    other.Normalize();
    left = std::max(left, other.left);
    bottom = std::max(bottom, other.bottom);
    right = std::min(right, other.right);
    top = std::min(top, other.top);
    if (left > right || bottom > top) *this = Rect{};
  }
};

// Row-vector affine matrix: [x y 1] * M.
struct Matrix {
  float a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

  // This transform followed by `m`.
  Matrix Then(const Matrix& m) const {
    return Matrix{a * m.a + b * m.c, a * m.b + b * m.d,       c * m.a + d * m.c,
                  c * m.b + d * m.d, e * m.a + f * m.c + m.e, e * m.b + f * m.d + m.f};
  }
};

// Shortest text that reads back as the same float, never in exponent form
// (content streams have no exponents) and independent of the locale.
std::string FormatFloat(float value) {
  if (!std::isfinite(value) || value == 0.0f) return "0";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::fixed);
  if (ec != std::errc()) return "0";
  return std::string(buf, end);
}

float FloatAt(QPDFObjectHandle array, int index) {
  if (index >= array.getArrayNItems()) return 0;
  QPDFObjectHandle item = array.getArrayItem(index);
  return item.isNumber() ? static_cast<float>(item.getNumericValue()) : 0.0f;
}

// A four-number array as a rectangle; anything else reads as the zero one.
Rect RectFromArray(QPDFObjectHandle array) {
  Rect r;
  if (!array.isArray() || array.getArrayNItems() != 4) return r;
  r.left = FloatAt(array, 0);
  r.bottom = FloatAt(array, 1);
  r.right = FloatAt(array, 2);
  r.top = FloatAt(array, 3);
  return r;
}

QPDFObjectHandle NumberArray(std::initializer_list<float> values) {
  QPDFObjectHandle array = QPDFObjectHandle::newArray();
  for (float v : values) array.appendItem(QPDFObjectHandle::newReal(FormatFloat(v)));
  return array;
}

// The nearest definition of `key` on the page or up its /Parent chain.
// A /Parent loop ends at the depth limit.
QPDFObjectHandle InheritedAttribute(QPDFObjectHandle node, const std::string& key) {
  for (int depth = 0; depth < 256 && node.isDictionary(); ++depth) {
    QPDFObjectHandle value = node.getKey(key);
    if (!value.isNull()) return value;
    node = node.getKey("/Parent");
  }
  return QPDFObjectHandle::newNull();
}

Rect InheritedBox(QPDFObjectHandle page, const std::string& key) {
  Rect box = RectFromArray(InheritedAttribute(page, key));
  box.Normalize();
  return box;
}

// Quarter turns 0..3 from /Rotate (inherited, truncated to whole degrees).
int QuarterTurns(QPDFObjectHandle page) {
  QPDFObjectHandle rotate = InheritedAttribute(page, "/Rotate");
  long long degrees = 0;
  if (rotate.isInteger()) {
    degrees = rotate.getIntValue();
  } else if (rotate.isReal()) {
    double v = rotate.getNumericValue();
    if (std::isfinite(v))
      degrees = static_cast<long long>(std::clamp(v, -2147483648.0, 2147483647.0));
  }
  degrees = std::clamp<long long>(degrees, INT_MIN, INT_MAX);
  int turns = static_cast<int>((degrees / 90) % 4);
  return turns < 0 ? turns + 4 : turns;
}

// The area the page shows: crop box within media box, both inherited.
Rect VisibleBox(QPDFObjectHandle page) {
  Rect media = InheritedBox(page, "/MediaBox");
  if (media.IsEmpty()) media = Rect{0, 0, 612, 792};
  Rect visible = InheritedBox(page, "/CropBox");
  if (visible.IsEmpty()) {
    visible = media;
  } else {
    visible.Intersect(media);
  }
  return visible;
}

struct Page {
  Document* doc;
  QPDFObjectHandle dict;
  // The visible area and turn, read once per page and again after a box is
  // set (each read walks the page tree).
  bool measured = false;
  Rect visible;
  int turns = 0;

  void Measure() {
    if (measured) return;
    visible = VisibleBox(dict);
    turns = QuarterTurns(dict);
    measured = true;
  }
};

Page* AsPage(FPDF_PAGE handle) { return reinterpret_cast<Page*>(handle); }

// Reads a box from the page's own dictionary only.
FPDF_BOOL GetOwnBox(FPDF_PAGE handle, const char* key, float* left, float* bottom, float* right,
                    float* top) {
  if (!handle || !left || !bottom || !right || !top) return 0;
  try {
    QPDFObjectHandle box = AsPage(handle)->dict.getKey(key);
    if (!box.isArray()) return 0;
    *left = FloatAt(box, 0);
    *bottom = FloatAt(box, 1);
    *right = FloatAt(box, 2);
    *top = FloatAt(box, 3);
    return 1;
  } catch (...) {
    return 0;
  }
}

void SetOwnBox(FPDF_PAGE handle, const char* key, float left, float bottom, float right,
               float top) {
  if (!handle) return;
  try {
    Page& page = *AsPage(handle);
    page.measured = false;
    page.dict.replaceKey(key, NumberArray({left, bottom, right, top}));
  } catch (...) {
  }
}

double PageDimension(FPDF_PAGE handle, bool wantWidth) {
  if (!handle) return 0;
  try {
    Page& page = *AsPage(handle);
    page.Measure();
    float width = page.visible.right - page.visible.left;
    float height = page.visible.top - page.visible.bottom;
    if (page.turns % 2 == 1) std::swap(width, height);  // shown turned by /Rotate
    return wantWidth ? width : height;
  } catch (...) {
    return 0;
  }
}

QPDFObjectHandle SharedStream(Document& doc, const std::string& data) {
  if (auto found = doc.wrapStreams.find(data); found != doc.wrapStreams.end()) {
    return found->second;
  }
  QPDFObjectHandle stream = QPDFObjectHandle::newStream(&doc.pdf, data);
  doc.wrapStreams.emplace(data, stream);
  return stream;
}

Matrix MatrixOf(QPDFObjectHandle dict) {
  QPDFObjectHandle current = dict.getKey("/Matrix");
  if (current.isArray() && current.getArrayNItems() == 6) {
    return Matrix{FloatAt(current, 0), FloatAt(current, 1), FloatAt(current, 2),
                  FloatAt(current, 3), FloatAt(current, 4), FloatAt(current, 5)};
  }
  return Matrix{};
}

void SetMatrix(QPDFObjectHandle dict, const Matrix& m) {
  dict.replaceKey("/Matrix", NumberArray({m.a, m.b, m.c, m.d, m.e, m.f}));
}

// A copy of `pattern` whose space follows content transformed by `m`, made
// once per pattern and transform; none for anything that is not a pattern.
QPDFObjectHandle MovedPattern(Document& doc, QPDFObjectHandle pattern, const Matrix& m) {
  if (!pattern.isIndirect()) {
    if (!pattern.isDictionary()) return QPDFObjectHandle::newNull();
    QPDFObjectHandle copy = pattern.shallowCopy();
    SetMatrix(copy, MatrixOf(copy).Then(m));
    return copy;
  }
  MatrixKey bits;
  const float numbers[6] = {m.a, m.b, m.c, m.d, m.e, m.f};
  std::memcpy(bits.data(), numbers, sizeof(numbers));
  const auto key = std::make_pair(pattern.getObjGen(), bits);
  if (auto found = doc.movedPatterns.find(key); found != doc.movedPatterns.end()) {
    return found->second;
  }
  QPDFObjectHandle copy;
  QPDFObjectHandle dict;
  if (pattern.isStream()) {
    copy = pattern.copyStream();  // shares the data, not the dictionary
    dict = copy.getDict();
  } else if (pattern.isDictionary()) {
    dict = pattern.shallowCopy();
    copy = doc.pdf.makeIndirectObject(dict);
  } else {
    return QPDFObjectHandle::newNull();
  }
  SetMatrix(dict, MatrixOf(dict).Then(m));
  doc.movedPatterns.emplace(key, copy);
  return copy;
}

// Patterns are painted in their own space, anchored to the page's default
// space, so they must move with the content. Other pages may share the
// resources or the patterns (often all pages do), so this page gets its own
// resource and pattern dictionaries pointing at moved copies.
void MovePagePatterns(Document& doc, QPDFObjectHandle pageDict, const Matrix& m) {
  QPDFObjectHandle resources = InheritedAttribute(pageDict, "/Resources");
  if (!resources.isDictionary()) return;
  QPDFObjectHandle patterns = resources.getKey("/Pattern");
  if (!patterns.isDictionary()) return;
  QPDFObjectHandle ownPatterns = patterns.unsafeShallowCopy();
  for (const auto& [name, value] : patterns.ditems()) {
    QPDFObjectHandle moved = MovedPattern(doc, value, m);
    if (!moved.isNull()) ownPatterns.replaceKey(name, moved);
  }
  QPDFObjectHandle ownResources = resources.unsafeShallowCopy();
  ownResources.replaceKey("/Pattern", ownPatterns);
  pageDict.replaceKey("/Resources", ownResources);
}

class SaveAborted : public std::exception {};

// Hands the written file to the caller's callback in blocks of up to 64 KiB
// (the writer produces many small pieces). A refusal stops the writer from
// write(); finish() may run while the writer unwinds, so it only records one.
class FileWritePipeline : public Pipeline {
 public:
  explicit FileWritePipeline(FPDF_FILEWRITE* sink) : Pipeline("file write", nullptr), sink_(sink) {
    buffer_.reserve(kBlock);
  }
  void write(unsigned char const* data, size_t len) override {
    while (len > 0) {
      if (refused_) throw SaveAborted();
      const size_t take = std::min(len, kBlock - buffer_.size());
      buffer_.insert(buffer_.end(), data, data + take);
      data += take;
      len -= take;
      if (buffer_.size() == kBlock) Flush();
    }
  }
  void finish() override { Flush(); }
  // Everything was handed over and accepted.
  bool Delivered() {
    Flush();
    return !refused_;
  }

 private:
  static constexpr size_t kBlock = 64 * 1024;
  void Flush() {
    if (buffer_.empty() || refused_) return;
    refused_ = !sink_->WriteBlock(sink_, buffer_.data(), static_cast<unsigned long>(buffer_.size()));
    buffer_.clear();
  }

  FPDF_FILEWRITE* sink_;
  std::vector<unsigned char> buffer_;
  bool refused_ = false;
};

}  // namespace

TB_PDF_EXPORT void FPDF_InitLibrary() {}

TB_PDF_EXPORT void FPDF_DestroyLibrary() {}

TB_PDF_EXPORT FPDF_DOCUMENT FPDF_LoadDocument(FPDF_STRING file_path, FPDF_BYTESTRING password) {
  if (!file_path) {
    g_lastError = abi::kErrFile;
    return nullptr;
  }
  try {
    auto doc = std::make_unique<Document>();
    doc->pdf.setSuppressWarnings(true);
    doc->pdf.processFile(file_path, password);
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(doc->pdf).getAllPages()) {
      doc->pages.push_back(page.getObjectHandle());
    }
    g_lastError = abi::kErrSuccess;
    return reinterpret_cast<FPDF_DOCUMENT>(doc.release());
  } catch (const QPDFSystemError&) {
    g_lastError = abi::kErrFile;
  } catch (const QPDFExc& e) {
    g_lastError = e.getErrorCode() == qpdf_e_password ? abi::kErrPassword : abi::kErrFormat;
  } catch (const std::bad_alloc&) {
    g_lastError = abi::kErrUnknown;
  } catch (...) {
    g_lastError = abi::kErrFormat;
  }
  return nullptr;
}

TB_PDF_EXPORT void FPDF_CloseDocument(FPDF_DOCUMENT document) { delete AsDocument(document); }

TB_PDF_EXPORT int FPDF_GetPageCount(FPDF_DOCUMENT document) {
  if (!document) return 0;
  return static_cast<int>(AsDocument(document)->pages.size());
}

TB_PDF_EXPORT FPDF_PAGE FPDF_LoadPage(FPDF_DOCUMENT document, int page_index) {
  Document* doc = AsDocument(document);
  if (!doc || page_index < 0 || static_cast<size_t>(page_index) >= doc->pages.size()) {
    return nullptr;
  }
  try {
    QPDFObjectHandle dict = doc->pages[static_cast<size_t>(page_index)];
    if (!dict.isDictionary()) return nullptr;
    return reinterpret_cast<FPDF_PAGE>(new Page{doc, dict, false, Rect{}, 0});
  } catch (...) {
    return nullptr;
  }
}

TB_PDF_EXPORT void FPDF_ClosePage(FPDF_PAGE page) { delete AsPage(page); }

TB_PDF_EXPORT double FPDF_GetPageWidth(FPDF_PAGE page) { return PageDimension(page, true); }

TB_PDF_EXPORT double FPDF_GetPageHeight(FPDF_PAGE page) { return PageDimension(page, false); }

TB_PDF_EXPORT FPDF_BOOL FPDFPage_GetMediaBox(FPDF_PAGE page, float* left, float* bottom,
                                             float* right, float* top) {
  return GetOwnBox(page, "/MediaBox", left, bottom, right, top);
}

TB_PDF_EXPORT FPDF_BOOL FPDFPage_GetCropBox(FPDF_PAGE page, float* left, float* bottom,
                                            float* right, float* top) {
  return GetOwnBox(page, "/CropBox", left, bottom, right, top);
}

TB_PDF_EXPORT void FPDFPage_SetMediaBox(FPDF_PAGE page, float left, float bottom, float right,
                                        float top) {
  SetOwnBox(page, "/MediaBox", left, bottom, right, top);
}

TB_PDF_EXPORT void FPDFPage_SetCropBox(FPDF_PAGE page, float left, float bottom, float right,
                                       float top) {
  SetOwnBox(page, "/CropBox", left, bottom, right, top);
}

TB_PDF_EXPORT FPDF_BOOL FPDFPage_TransFormWithClip(FPDF_PAGE handle, const FS_MATRIX* matrix,
                                                   const FS_RECTF* clipRect) {
  if (!matrix && !clipRect) return 0;
  if (!handle) return 0;
  try {
    Page& page = *AsPage(handle);
    QPDFObjectHandle contents = page.dict.getKey("/Contents");
    if (!contents.isArray() && !contents.isStream()) return 0;  // none, or nothing to wrap

    std::string prefix = "q ";
    if (clipRect) {
      Rect clip{clipRect->left, clipRect->bottom, clipRect->right, clipRect->top};
      clip.Normalize();
      prefix += FormatFloat(clip.left) + " " + FormatFloat(clip.bottom) + " " +
                FormatFloat(clip.right - clip.left) + " " + FormatFloat(clip.top - clip.bottom) +
                " re W* n ";
    }
    Matrix m;
    if (matrix) {
      m = Matrix{matrix->a, matrix->b, matrix->c, matrix->d, matrix->e, matrix->f};
      prefix += FormatFloat(m.a) + " " + FormatFloat(m.b) + " " + FormatFloat(m.c) + " " +
                FormatFloat(m.d) + " " + FormatFloat(m.e) + " " + FormatFloat(m.f) + " cm ";
    }

    // The page gets a new contents array of its own: another page may share
    // the old array, and must not be wrapped twice.
    QPDFObjectHandle wrapped = QPDFObjectHandle::newArray();
    wrapped.appendItem(SharedStream(*page.doc, prefix));
    if (contents.isArray()) {
      for (const QPDFObjectHandle& item : contents.aitems()) wrapped.appendItem(item);
    } else {
      wrapped.appendItem(contents);
    }
    wrapped.appendItem(SharedStream(*page.doc, " Q"));
    page.dict.replaceKey("/Contents", wrapped);

    if (matrix) MovePagePatterns(*page.doc, page.dict, m);
    return 1;
  } catch (...) {
    return 0;
  }
}

TB_PDF_EXPORT FPDF_BOOL FPDF_SaveAsCopy(FPDF_DOCUMENT document, FPDF_FILEWRITE* pFileWrite,
                                        FPDF_DWORD flags) {
  Document* doc = AsDocument(document);
  if (!doc || !pFileWrite || !pFileWrite->WriteBlock) return 0;
  try {
    FileWritePipeline sink(pFileWrite);
    QPDFWriter writer(doc->pdf);
    writer.setOutputPipeline(&sink);
    // Stream data goes out as it is, the new content pieces uncompressed, and
    // the file gets a classic cross-reference table.
    writer.setCompressStreams(false);
    writer.setDecodeLevel(qpdf_dl_none);
    writer.setObjectStreamMode(qpdf_o_disable);
    // An incremental save becomes a complete file: the result reads the same.
    if (flags == abi::kRemoveSecurity) writer.setPreserveEncryption(false);
    writer.write();
    return sink.Delivered() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

TB_PDF_EXPORT unsigned long FPDF_GetLastError() { return g_lastError.load(); }

TB_PDF_EXPORT int FPDFPage_GetRotation(FPDF_PAGE page) {
  if (!page) return -1;
  try {
    AsPage(page)->Measure();
    return AsPage(page)->turns;
  } catch (...) {
    return -1;
  }
}

TB_PDF_EXPORT FPDF_BOOL FPDF_GetPageBoundingBox(FPDF_PAGE page, FS_RECTF* rect) {
  if (!page || !rect) return 0;
  try {
    AsPage(page)->Measure();
    const Rect visible = AsPage(page)->visible;
    rect->left = visible.left;
    rect->top = visible.top;
    rect->right = visible.right;
    rect->bottom = visible.bottom;
    return 1;
  } catch (...) {
    return 0;
  }
}

// Every export must match the type the daemon calls it through.
static_assert(std::is_same_v<decltype(&FPDF_InitLibrary), abi::InitLibraryFn>);
static_assert(std::is_same_v<decltype(&FPDF_DestroyLibrary), abi::DestroyLibraryFn>);
static_assert(std::is_same_v<decltype(&FPDF_LoadDocument), abi::LoadDocumentFn>);
static_assert(std::is_same_v<decltype(&FPDF_CloseDocument), abi::CloseDocumentFn>);
static_assert(std::is_same_v<decltype(&FPDF_GetPageCount), abi::GetPageCountFn>);
static_assert(std::is_same_v<decltype(&FPDF_LoadPage), abi::LoadPageFn>);
static_assert(std::is_same_v<decltype(&FPDF_ClosePage), abi::ClosePageFn>);
static_assert(std::is_same_v<decltype(&FPDF_GetPageWidth), abi::GetPageWidthFn>);
static_assert(std::is_same_v<decltype(&FPDF_GetPageHeight), abi::GetPageHeightFn>);
static_assert(std::is_same_v<decltype(&FPDFPage_GetMediaBox), abi::GetBoxFn>);
static_assert(std::is_same_v<decltype(&FPDFPage_GetCropBox), abi::GetBoxFn>);
static_assert(std::is_same_v<decltype(&FPDFPage_SetMediaBox), abi::SetBoxFn>);
static_assert(std::is_same_v<decltype(&FPDFPage_SetCropBox), abi::SetBoxFn>);
static_assert(std::is_same_v<decltype(&FPDFPage_TransFormWithClip), abi::TransFormWithClipFn>);
static_assert(std::is_same_v<decltype(&FPDF_SaveAsCopy), abi::SaveAsCopyFn>);
static_assert(std::is_same_v<decltype(&FPDF_GetLastError), abi::GetLastErrorFn>);
static_assert(std::is_same_v<decltype(&FPDFPage_GetRotation), abi::GetRotationFn>);
static_assert(std::is_same_v<decltype(&FPDF_GetPageBoundingBox), abi::GetPageBoundingBoxFn>);
