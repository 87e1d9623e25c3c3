#include "pdffit/pdfium_api.h"

#include <cstdint>

#include "base/program_folder.h"
#include "base/logging.h"

namespace tb::pdffit {
namespace {

template <typename Fn>
void Resolve(const platform::DynamicLibrary& module, const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(module.Symbol(name));
}

}  // namespace

PdfiumApi& Pdfium() {
  // Never destroyed: at process exit the operating system frees a module that
  // is still loaded, even while another thread may still be inside it.
  static PdfiumApi* api = new PdfiumApi;
  return *api;
}

std::mutex& PdfiumMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

bool LoadPdfium(std::string& error) {
  PdfiumApi& api = Pdfium();
  if (api.module.IsOpen()) return true;

  const std::string fileName = platform::PdfiumLibraryFileName();
  const std::string folder = ProgramFolder();
  const std::string besideProgram =
      folder.empty() ? fileName : folder + platform::PathSeparator() + fileName;
  uint32_t osError = 0;
  if (!api.module.Open(besideProgram, osError) && !api.module.Open(fileName, osError)) {
    error = "Cannot load pdfium.dll. Put pdfium.dll beside Tillerbrook.exe. Win32 error=" +
            std::to_string(osError);
    return false;
  }

  const platform::DynamicLibrary& m = api.module;
  // Required entry points in table order; the first missing one is reported.
  const char* missing = nullptr;
  auto require = [&](const char* name, auto& slot) {
    if (missing) return;
    Resolve(m, name, slot);
    if (!slot) missing = name;
  };
  require("FPDF_InitLibrary", api.FPDF_InitLibrary);
  require("FPDF_DestroyLibrary", api.FPDF_DestroyLibrary);
  require("FPDF_LoadDocument", api.FPDF_LoadDocument);
  require("FPDF_CloseDocument", api.FPDF_CloseDocument);
  require("FPDF_GetPageCount", api.FPDF_GetPageCount);
  require("FPDF_LoadPage", api.FPDF_LoadPage);
  require("FPDF_ClosePage", api.FPDF_ClosePage);
  require("FPDF_GetPageWidth", api.FPDF_GetPageWidth);
  require("FPDF_GetPageHeight", api.FPDF_GetPageHeight);
  require("FPDFPage_GetMediaBox", api.FPDFPage_GetMediaBox);
  require("FPDFPage_GetCropBox", api.FPDFPage_GetCropBox);
  require("FPDFPage_SetMediaBox", api.FPDFPage_SetMediaBox);
  require("FPDFPage_SetCropBox", api.FPDFPage_SetCropBox);
  require("FPDFPage_TransFormWithClip", api.FPDFPage_TransFormWithClip);
  require("FPDF_SaveAsCopy", api.FPDF_SaveAsCopy);
  if (missing) {
    error = std::string("pdfium.dll missing export: ") + missing;
    UnloadPdfium();
    return false;
  }
  Resolve(m, "FPDF_GetLastError", api.FPDF_GetLastError);
  Resolve(m, "FPDFPage_GetRotation", api.FPDFPage_GetRotation);
  Resolve(m, "FPDF_GetPageBoundingBox", api.FPDF_GetPageBoundingBox);
  return true;
}

void UnloadPdfium() {
  PdfiumApi& api = Pdfium();
  api.module.Close();
  api.FPDF_InitLibrary = nullptr;
  api.FPDF_DestroyLibrary = nullptr;
  api.FPDF_LoadDocument = nullptr;
  api.FPDF_CloseDocument = nullptr;
  api.FPDF_GetPageCount = nullptr;
  api.FPDF_LoadPage = nullptr;
  api.FPDF_ClosePage = nullptr;
  api.FPDF_GetPageWidth = nullptr;
  api.FPDF_GetPageHeight = nullptr;
  api.FPDFPage_GetMediaBox = nullptr;
  api.FPDFPage_GetCropBox = nullptr;
  api.FPDFPage_SetMediaBox = nullptr;
  api.FPDFPage_SetCropBox = nullptr;
  api.FPDFPage_TransFormWithClip = nullptr;
  api.FPDF_SaveAsCopy = nullptr;
  api.FPDF_GetLastError = nullptr;
  api.FPDFPage_GetRotation = nullptr;
  api.FPDF_GetPageBoundingBox = nullptr;
  api.initialized = false;  // a later load starts from scratch
}

void EnsurePdfiumInitialized() {
  PdfiumApi& api = Pdfium();
  if (api.initialized || !api.FPDF_InitLibrary) return;
  api.FPDF_InitLibrary();
  api.initialized = true;
}

void ShutdownPdfium() {
  std::lock_guard<std::mutex> lock(PdfiumMutex());
  PdfiumApi& api = Pdfium();
  if (api.initialized && api.FPDF_DestroyLibrary) api.FPDF_DestroyLibrary();
  api.initialized = false;
  UnloadPdfium();
}

void LoadPdfiumAtStartup() {
  std::string error;
  bool loaded;
  {
    std::lock_guard<std::mutex> lock(PdfiumMutex());
    loaded = LoadPdfium(error);
  }
  if (loaded) {
    LogInfo("[PDFium] DLL loaded once for process lifetime.");
  } else {
    LogError("[PDFium] load warning: " + error);
  }
}

unsigned long PdfiumLastError() {
  PdfiumApi& api = Pdfium();
  return api.FPDF_GetLastError ? api.FPDF_GetLastError() : 0;
}

}  // namespace tb::pdffit
