// tillerbrook-print -silent -print-to <printer> -print-settings <setting> <document>
//
// Submits one document to a CUPS queue and exits 0 once CUPS has accepted the
// job; any failure exits non-zero with one line on standard error. The
// setting maps to the job's print-scaling: fit -> fit, shrink -> auto-fit
// (only pages larger than the paper shrink), noscale -> none, stretch -> fill.
// CUPS decides the document's type from its content.
#include <cups/cups.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int kUsage = 2;
constexpr int kFailed = 1;

volatile std::sig_atomic_t g_stop = 0;

void OnStop(int) { g_stop = 1; }

int Fail(int code, const std::string& reason) {
  std::fprintf(stderr, "tillerbrook-print: %s\n", reason.c_str());
  return code;
}

const char* ScalingFor(const std::string& setting) {
  if (setting == "fit") return "fit";
  if (setting == "shrink") return "auto-fit";
  if (setting == "noscale") return "none";
  if (setting == "stretch") return "fill";
  return nullptr;
}

std::string BaseName(const std::string& path) {
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

struct DestDeleter {
  void operator()(cups_dest_t* d) const { cupsFreeDests(1, d); }
};
struct InfoDeleter {
  void operator()(cups_dinfo_t* i) const { cupsFreeDestInfo(i); }
};
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
struct Options {
  int count = 0;
  cups_option_t* list = nullptr;
  ~Options() { cupsFreeOptions(count, list); }
};

}  // namespace

int main(int argc, char** argv) {
  std::string printer, setting, document;
  bool havePrinter = false, haveSetting = false, haveDocument = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-silent") continue;  // never asks anything anyway
    if (arg == "-print-to" || arg == "-print-settings") {
      if (i + 1 >= argc) return Fail(kUsage, arg + " needs a value");
      (arg == "-print-to" ? printer : setting) = argv[++i];
      (arg == "-print-to" ? havePrinter : haveSetting) = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return Fail(kUsage, "unknown option " + arg);
    } else if (haveDocument) {
      return Fail(kUsage, "more than one document given");
    } else {
      document = arg;
      haveDocument = true;
    }
  }
  if (!havePrinter || printer.empty()) return Fail(kUsage, "no printer given (-print-to)");
  if (!haveDocument) return Fail(kUsage, "no document given");
  if (!haveSetting) setting = "fit";
  const char* scaling = ScalingFor(setting);
  if (!scaling) return Fail(kUsage, "unknown print setting " + setting);

  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(document.c_str(), "rb"));
  if (!file) return Fail(kFailed, "cannot open " + document + ": " + std::strerror(errno));

  // Asked to stop (the daemon's close helper): stop sending, cancel the job.
  struct sigaction stop {};
  stop.sa_handler = OnStop;
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);

  std::unique_ptr<cups_dest_t, DestDeleter> dest(
      cupsGetNamedDest(CUPS_HTTP_DEFAULT, printer.c_str(), nullptr));
  if (!dest) return Fail(kFailed, "no such printer " + printer + ": " + cupsLastErrorString());
  std::unique_ptr<cups_dinfo_t, InfoDeleter> info(cupsCopyDestInfo(CUPS_HTTP_DEFAULT, dest.get()));
  if (!info) return Fail(kFailed, "cannot reach printer " + printer + ": " + cupsLastErrorString());

  Options options;
  options.count = cupsAddOption("print-scaling", scaling, options.count, &options.list);

  const std::string title = BaseName(document);
  int jobId = 0;
  if (cupsCreateDestJob(CUPS_HTTP_DEFAULT, dest.get(), info.get(), &jobId, title.c_str(),
                        options.count, options.list) > IPP_STATUS_OK_CONFLICTING) {
    return Fail(kFailed, "job refused by " + printer + ": " + cupsLastErrorString());
  }
  auto abandon = [&](const std::string& reason) {
    std::string why = reason + ": " + cupsLastErrorString();
    cupsCancelDestJob(CUPS_HTTP_DEFAULT, dest.get(), jobId);
    return Fail(kFailed, why);
  };

  if (cupsStartDestDocument(CUPS_HTTP_DEFAULT, dest.get(), info.get(), jobId, title.c_str(),
                            CUPS_FORMAT_AUTO, 0, nullptr, 1) != HTTP_STATUS_CONTINUE) {
    return abandon("cannot send document to " + printer);
  }
  char block[65536];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) {
    if (g_stop) {
      cupsFinishDestDocument(CUPS_HTTP_DEFAULT, dest.get(), info.get());
      return abandon("stopped");
    }
    if (cupsWriteRequestData(CUPS_HTTP_DEFAULT, block, got) != HTTP_STATUS_CONTINUE) {
      cupsFinishDestDocument(CUPS_HTTP_DEFAULT, dest.get(), info.get());
      return abandon("sending to " + printer + " failed");
    }
  }
  if (std::ferror(file.get())) {
    cupsFinishDestDocument(CUPS_HTTP_DEFAULT, dest.get(), info.get());
    return abandon("cannot read " + document);
  }
  if (cupsFinishDestDocument(CUPS_HTTP_DEFAULT, dest.get(), info.get()) >
      IPP_STATUS_OK_CONFLICTING) {
    return abandon("document refused by " + printer);
  }
  return 0;
}
