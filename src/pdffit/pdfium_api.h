#pragma once
// The PDF library the daemon edits pages with. It is loaded at run time, once
// per process; a missing or incomplete library only disables PDF fitting.
#include <mutex>
#include <string>

#include "pdffit/pdfium_abi.h"
#include "platform/dynamic_library.h"

namespace tb::pdffit {

// The resolved entry points, in resolution order. Entries up to
// FPDF_SaveAsCopy are required; the rest may be missing: FPDF_GetLastError
// (callers then report error 0), and the two page-geometry reads, without
// which the fit works out a page's rotation and visible area from its size
// and its own boxes where it can. Use only while holding PdfiumMutex().
struct PdfiumApi {
  platform::DynamicLibrary module;
  abi::InitLibraryFn FPDF_InitLibrary = nullptr;
  abi::DestroyLibraryFn FPDF_DestroyLibrary = nullptr;
  abi::LoadDocumentFn FPDF_LoadDocument = nullptr;
  abi::CloseDocumentFn FPDF_CloseDocument = nullptr;
  abi::GetPageCountFn FPDF_GetPageCount = nullptr;
  abi::LoadPageFn FPDF_LoadPage = nullptr;
  abi::ClosePageFn FPDF_ClosePage = nullptr;
  abi::GetPageWidthFn FPDF_GetPageWidth = nullptr;
  abi::GetPageHeightFn FPDF_GetPageHeight = nullptr;
  abi::GetBoxFn FPDFPage_GetMediaBox = nullptr;
  abi::GetBoxFn FPDFPage_GetCropBox = nullptr;
  abi::SetBoxFn FPDFPage_SetMediaBox = nullptr;
  abi::SetBoxFn FPDFPage_SetCropBox = nullptr;
  abi::TransFormWithClipFn FPDFPage_TransFormWithClip = nullptr;
  abi::SaveAsCopyFn FPDF_SaveAsCopy = nullptr;
  abi::GetLastErrorFn FPDF_GetLastError = nullptr;
  abi::GetRotationFn FPDFPage_GetRotation = nullptr;
  abi::GetPageBoundingBoxFn FPDF_GetPageBoundingBox = nullptr;
  bool initialized = false;  // FPDF_InitLibrary has run and not been undone
};

// The process-wide table and the lock that serialises every use of the
// library (none of its functions is thread-safe).
PdfiumApi& Pdfium();
std::mutex& PdfiumMutex();

// Loads the library from the program folder, then through the system's
// search, and resolves the entry points. Succeeds at once when already
// loaded. The caller holds PdfiumMutex().
bool LoadPdfium(std::string& error);

// Releases the library if loaded and clears every entry point.
void UnloadPdfium();

// Runs FPDF_InitLibrary once. The caller holds the lock and has loaded.
void EnsurePdfiumInitialized();

// Takes the lock, destroys the library state when initialised, unloads.
void ShutdownPdfium();

// The start-up load with its log line (loaded or warning).
void LoadPdfiumAtStartup();

// FPDF_GetLastError, or 0 when the library does not export it.
unsigned long PdfiumLastError();

}  // namespace tb::pdffit
