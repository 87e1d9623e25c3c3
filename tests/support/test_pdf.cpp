#include "support/test_pdf.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/daemon_harness.h"

namespace tbtest {

int PdfWriter::Reserve() {
  objects_.emplace_back();
  return static_cast<int>(objects_.size());
}

int PdfWriter::Add(const std::string& body) {
  objects_.push_back(body);
  return static_cast<int>(objects_.size());
}

void PdfWriter::Set(int number, const std::string& body) {
  objects_.at(static_cast<size_t>(number - 1)) = body;
}

int PdfWriter::AddStream(const std::string& data, const std::string& extraDict) {
  return Add("<< /Length " + std::to_string(data.size()) + " " + extraDict + " >>\nstream\n" +
             data + "\nendstream");
}

std::string PdfWriter::Build(int root) const {
  std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects_.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects_[i] + "\nendobj\n";
  }
  const size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects_.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof(line), "%010zu 00000 n \n", offset);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects_.size() + 1) + " /Root " +
         std::to_string(root) + " 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

std::string MakePdf(const std::vector<TestPage>& pages, const std::string& treeDict) {
  PdfWriter w;
  const int catalog = w.Reserve();
  const int tree = w.Reserve();
  std::string kids;
  for (const TestPage& page : pages) {
    const int content = w.AddStream(page.content);
    const int number = w.Add("<< /Type /Page /Parent " + std::to_string(tree) + " 0 R " +
                             page.dict + " /Contents " + std::to_string(content) + " 0 R >>");
    kids += std::to_string(number) + " 0 R ";
  }
  w.Set(catalog, "<< /Type /Catalog /Pages " + std::to_string(tree) + " 0 R >>");
  w.Set(tree, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " " +
                  treeDict + " >>");
  return w.Build(catalog);
}

std::string RunCommand(const std::string& command, int* status) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) throw std::runtime_error("popen failed: " + command);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), pipe.get())) > 0) out.append(buf, n);
  int raw = ::pclose(pipe.release());
  if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

QpdfDump::QpdfDump(std::string path) : path_(std::move(path)) {
  int status = 0;
  std::string text = RunCommand(
      "qpdf --json=2 --json-key=pages --json-key=qpdf '" + path_ + "' 2>/dev/null", &status);
  if (status != 0 && status != 3) throw std::runtime_error("qpdf --json failed for " + path_);
  nlohmann::json doc = nlohmann::json::parse(text);
  objects_ = doc.at("qpdf").at(1);
  for (const nlohmann::json& page : doc.at("pages")) {
    pages_.push_back(Resolve(page.at("object")));
  }
}

nlohmann::json QpdfDump::Resolve(const nlohmann::json& value) const {
  if (!value.is_string()) return value;
  const std::string text = value.get<std::string>();
  if (text.size() < 5 || text.compare(text.size() - 2, 2, " R") != 0) return value;
  const nlohmann::json& object = objects_.at("obj:" + text);
  if (object.contains("stream")) return object.at("stream").at("dict");
  return object.at("value");
}

std::string QpdfDump::StreamData(const nlohmann::json& ref) const {
  const std::string text = ref.get<std::string>();
  int status = 0;
  std::string data = RunCommand("qpdf --show-object=" + text.substr(0, text.find(' ')) +
                                    " --filtered-stream-data '" + path_ + "' 2>/dev/null",
                                &status);
  if (status != 0 && status != 3) throw std::runtime_error("qpdf --show-object failed");
  return data;
}

std::array<double, 4> BoxOf(const nlohmann::json& pageDict, const std::string& key) {
  const nlohmann::json& box = pageDict.at(key);
  return {box.at(0).get<double>(), box.at(1).get<double>(), box.at(2).get<double>(),
          box.at(3).get<double>()};
}

GreyImage RenderPage(const std::string& pdf, int pageNumber, int dpi) {
  TempFolder folder;
  const std::string prefix = folder / "page";
  int status = 0;
  RunCommand("pdftoppm -cropbox -gray -singlefile -r " + std::to_string(dpi) + " -f " +
                 std::to_string(pageNumber) + " -l " + std::to_string(pageNumber) + " '" + pdf +
                 "' '" + prefix + "' 2>/dev/null",
             &status);
  if (status != 0) throw std::runtime_error("pdftoppm failed for " + pdf);
  std::istringstream in(ReadFile(prefix + ".pgm"));
  std::string magic;
  int maxValue = 0;
  GreyImage image;
  in >> magic >> image.width >> image.height >> maxValue;
  in.get();  // the single whitespace before the raster
  if (magic != "P5" || maxValue != 255) throw std::runtime_error("unexpected pdftoppm output");
  image.pixels.resize(static_cast<size_t>(image.width) * image.height);
  in.read(reinterpret_cast<char*>(image.pixels.data()),
          static_cast<std::streamsize>(image.pixels.size()));
  if (!in) throw std::runtime_error("short pdftoppm output");
  return image;
}

std::pair<int, int> DarkRows(const GreyImage& image, int x) {
  int first = -1, last = -1;
  for (int y = 0; y < image.height; ++y) {
    if (image.at(x, y) < 128) {
      if (first < 0) first = y;
      last = y;
    }
  }
  return {first, last + 1};
}

}  // namespace tbtest
