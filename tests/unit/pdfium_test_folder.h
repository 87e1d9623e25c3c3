#pragma once
// Points the PDF library search at one folder for a test and leaves the
// library unloaded before and after, so each test loads its own copy.
#include <string>

#include "pdffit/pdfium_api.h"
#include "base/program_folder.h"

namespace tbtest {

class PdfiumFolder {
 public:
  explicit PdfiumFolder(const std::string& folder) : previous_(tb::ProgramFolder()) {
    tb::pdffit::ShutdownPdfium();
    tb::SetProgramFolderForTesting(folder);
  }
  ~PdfiumFolder() {
    tb::pdffit::ShutdownPdfium();
    tb::SetProgramFolderForTesting(previous_);
  }
  PdfiumFolder(const PdfiumFolder&) = delete;
  PdfiumFolder& operator=(const PdfiumFolder&) = delete;

 private:
  std::string previous_;
};

// Our libpdfium.so, beside the daemon executable.
inline std::string BuiltPdfiumFolder() { return TB_PDFIUM_DIR; }
// Builds of it that lack one export ("without_transform", "without_last_error").
inline std::string IncompletePdfiumFolder(const std::string& variant) {
  return std::string(TB_PDFIUM_FIXTURES_DIR) + "/" + variant;
}

}  // namespace tbtest
