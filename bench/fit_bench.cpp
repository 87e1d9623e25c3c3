// Time to fit a 200-page label PDF whose every page needs the transform,
// against `qpdf` rewriting the same file, in the same run.
//
// Usage: bench_fit [RUNS] [PAGES]; prints medians. The fit runs in this
// process exactly as the daemon runs it (load the library beside the daemon,
// load, transform every page, save through the temporary file, move); the
// baseline is the `qpdf IN OUT` command, timed from start to exit, and the
// same rewrite through libqpdf in this process (no program start-up).
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pdffit/pdf_fit.h"
#include "pdffit/pdfium_api.h"
#include "base/program_folder.h"

extern char** environ;

// qpdf_rewrite.cpp: load and write the file with libqpdf's defaults.
void QpdfRewrite(const std::string& source, const std::string& dest);

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Deflate(const std::string& data) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(data.data()), data.size(), 6) != Z_OK) {
    std::abort();
  }
  out.resize(size);
  return out;
}

// A shipping label as label software writes it: text in two shared fonts, a
// barcode of bars, boxes and rules, compressed, 4 x 6 in.
std::string LabelContent(int n) {
  std::string c = "q 0 g 2 w 10 10 268 412 re S 10 300 m 278 300 l S 10 160 m 278 160 l S\n";
  c += "BT /F1 14 Tf 20 400 Td (SHIP TO:) Tj /F2 11 Tf 0 -16 Td (Customer " +
       std::to_string(n) + ") Tj 0 -14 Td (123 Example Street) Tj 0 -14 Td (Springfield 4711)"
       " Tj ET\n";
  unsigned seed = 2166136261u ^ static_cast<unsigned>(n);
  for (int x = 24; x < 264;) {
    seed = seed * 16777619u + 1;
    const int bar = 1 + static_cast<int>(seed % 4);
    c += std::to_string(x) + " 180 " + std::to_string(bar) + " 100 re f\n";
    x += bar + 1 + static_cast<int>((seed >> 8) % 3);
  }
  c += "BT /F2 9 Tf 20 40 Td (TRACKING 1Z" + std::to_string(100000 + n) + " REF " +
       std::to_string(n * 7) + ") Tj ET Q\n";
  return c;
}

std::string MakeLabelPdf(int pages) {
  std::vector<std::string> objects(3);  // catalog, tree, resources
  objects[2] =
      "<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold >> /F2 << /Type "
      "/Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>";
  std::string kids;
  for (int i = 0; i < pages; ++i) {
    const std::string data = Deflate(LabelContent(i));
    objects.push_back("<< /Length " + std::to_string(data.size()) +
                      " /Filter /FlateDecode >>\nstream\n" + data + "\nendstream");
    const int content = static_cast<int>(objects.size());
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 288 432] /Resources 3 0 R "
                      "/Contents " + std::to_string(content) + " 0 R >>");
    kids += std::to_string(objects.size()) + " 0 R ";
  }
  objects[0] = "<< /Type /Catalog /Pages 2 0 R >>";
  objects[1] = "<< /Type /Pages /Count " + std::to_string(pages) + " /Kids [" + kids + "] >>";
  std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof(line), "%010zu 00000 n \n", offset);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double TimeCommand(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "cannot start %s\n", args[0]);
    std::exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double ms = Ms(Clock::now() - start);
  // qpdf exits 3 when it only warned.
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3)) {
    std::fprintf(stderr, "%s failed\n", args[0]);
    std::exit(1);
  }
  return ms;
}

double TimeQpdfInProcess(const std::string& source, const std::string& dest) {
  const auto start = Clock::now();
  QpdfRewrite(source, dest);
  return Ms(Clock::now() - start);
}

double TimeFit(const std::string& source, const std::string& dest) {
  fs::remove(dest);
  // The page lines go to standard output: keep them out of the figures.
  std::fflush(stdout);
  const int saved = dup(1);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  const auto start = Clock::now();
  bool changed = false;
  std::string error;
  const bool ok = tb::pdffit::FitPdfToRatio(source, dest, 0.8, changed, error);
  const double ms = Ms(Clock::now() - start);
  dup2(saved, 1);
  close(saved);
  close(null);
  if (!ok || !changed) {
    std::fprintf(stderr, "fit failed: %s\n", error.c_str());
    std::exit(1);
  }
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const int pages = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
  tb::SetProgramFolderForTesting(TB_PDFIUM_DIR);

  char pattern[] = "/tmp/tb-fit-bench.XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const fs::path folder = pattern;
  const std::string source = folder / "labels.pdf";
  std::ofstream(source, std::ios::binary) << MakeLabelPdf(pages);

  // One of each first: page cache, library load, qpdf's own start.
  TimeFit(source, folder / "fit.pdf");
  TimeCommand({"qpdf", source, folder / "qpdf.pdf"});

  std::vector<double> fit, baseline, start, library;
  for (int i = 0; i < runs; ++i) {  // alternating, so load changes hit both
    fit.push_back(TimeFit(source, folder / "fit.pdf"));
    baseline.push_back(TimeCommand({"qpdf", source, folder / "qpdf.pdf"}));
    start.push_back(TimeCommand({"qpdf", "--version"}));
    library.push_back(TimeQpdfInProcess(source, folder / "lib.pdf"));
  }
  const double f = Median(fit), b = Median(baseline);
  std::printf("pages %d, source %ju bytes, fitted %ju bytes, qpdf %ju bytes, runs %d\n", pages,
              static_cast<uintmax_t>(fs::file_size(source)),
              static_cast<uintmax_t>(fs::file_size(folder / "fit.pdf")),
              static_cast<uintmax_t>(fs::file_size(folder / "qpdf.pdf")), runs);
  std::printf("fit   median %.1f ms (%.3f ms/page)\n", f, f / pages);
  std::printf("qpdf  median %.1f ms (%.3f ms/page), of which start-up %.1f ms\n", b, b / pages,
              Median(start));
  std::printf("libqpdf in process median %.1f ms (%.3f ms/page)\n", Median(library),
              Median(library) / pages);
  std::printf("ratio fit/qpdf %.2f (target <= 1.5), fit/libqpdf %.2f\n", f / b,
              f / Median(library));

  tb::pdffit::ShutdownPdfium();
  fs::remove_all(folder);
  return 0;
}
