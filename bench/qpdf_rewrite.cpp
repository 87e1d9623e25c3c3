// The in-process baseline of the fit benchmark, apart from the daemon's
// sources: qpdf's headers need C++17 under clang.
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <string>

[[gnu::noinline]] void QpdfRewrite(const std::string& source, const std::string& dest) {
  QPDF pdf;
  pdf.processFile(source.c_str());
  QPDFWriter writer(pdf, dest.c_str());
  writer.write();
}
