#pragma once
// Small PDFs written by hand for the PDF tests, and what the qpdf and
// pdftoppm command-line tools report about the results.
#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tbtest {

// Objects are numbered 1, 2, ... in the order they are reserved or added.
class PdfWriter {
 public:
  int Reserve();                     // a number to fill in later
  int Add(const std::string& body);  // e.g. "<< /Type /Page ... >>"
  void Set(int number, const std::string& body);
  int AddStream(const std::string& data, const std::string& extraDict = "");
  // The whole file with a correct cross-reference table; `root` is the catalog.
  std::string Build(int root) const;

 private:
  std::vector<std::string> objects_;
};

// One page per entry: its own extra page-dictionary text (boxes, /Rotate),
// and its content stream.
struct TestPage {
  std::string dict;     // e.g. "/MediaBox [0 0 288 432]"
  std::string content;  // e.g. "0 0 0 rg 0 108 288 108 re f"
};
std::string MakePdf(const std::vector<TestPage>& pages, const std::string& treeDict = "");

// Runs a shell command; its standard output, and its exit status in `status`.
std::string RunCommand(const std::string& command, int* status = nullptr);

// What `qpdf --json` reports about a file.
class QpdfDump {
 public:
  explicit QpdfDump(std::string path);
  size_t PageCount() const { return pages_.size(); }
  // The page's own dictionary, as qpdf prints it.
  const nlohmann::json& Page(size_t index) const { return pages_.at(index); }
  // An indirect reference ("5 0 R") resolved to its value (for a stream, its
  // dictionary); any other value unchanged.
  nlohmann::json Resolve(const nlohmann::json& value) const;
  // The decoded data of the stream `ref` refers to.
  std::string StreamData(const nlohmann::json& ref) const;

 private:
  std::string path_;
  nlohmann::json objects_;
  std::vector<nlohmann::json> pages_;
};

// The rectangle of a box as four numbers.
std::array<double, 4> BoxOf(const nlohmann::json& pageDict, const std::string& key);

// A page rendered in grey by pdftoppm (its crop box, as it prints): width x
// height pixels, one byte each.
struct GreyImage {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;
  unsigned char at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
GreyImage RenderPage(const std::string& pdf, int pageNumber, int dpi);

// First and one-past-last row whose pixel in column `x` is dark.
std::pair<int, int> DarkRows(const GreyImage& image, int x);

}  // namespace tbtest
