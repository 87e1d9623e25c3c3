// Page metrics of a CUPS queue, in the form the daemon reads on Windows.
//
// - The driver's DEVMODE (levels 2 and 8, DocumentProperties) is the queue's
//   own defaults: page size and resolution from its PPD (else its IPP
//   attributes), orientation from orientation-requested-default.
// - The per-user DEVMODE (level 9) is those defaults with the options the
//   user set for the queue in their own ~/.cups/lpoptions, read as the user
//   the calling thread runs as; there is none when the user set nothing.
// - The paper list is the queue's media list, with Windows paper ids for the
//   well-known sizes and DMPAPER_USER + 1 + position for the others.
// - A device context measures the chosen sheet, its imageable area and the
//   resolution in device pixels.
//
// The PPD is preferred over the IPP attributes because the scheduler rounds
// sizes and margins to hundredths of a millimetre and maps sizes to the
// nearest standard name when it publishes them.
#include <cups/file.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/cups_spooler.h"
#include "platform/posix/lpoptions.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/user_account.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>

namespace tb::platform {
namespace {

namespace dm = devmode;

constexpr int16_t kDmPaperUser = 256;
constexpr int16_t kPortrait = 1;
constexpr int16_t kLandscape = 2;

struct Media {
  std::string name;  // the PPD's choice, or the IPP keyword
  int16_t id = 0;
  double widthPt = 0;  // the sheet, portrait
  double lengthPt = 0;
  // Imageable box from the sheet's lower-left corner, as a PPD writes it.
  double left = 0, bottom = 0, right = 0, top = 0;
};

struct QueueGeometry {
  std::vector<Media> media;
  int defaultMedia = -1;
  std::vector<Resolution> resolutions;
  Resolution defaultResolution{};
  bool defaultLandscape = false;
  // Unprintable strips (left, bottom, right, top) of a size the list lacks.
  double customMargins[4] = {0, 0, 0, 0};
};

// What a DEVMODE selects.
struct PageChoice {
  int media = -1;  // index into the media list; -1 is a size of its own
  double widthPt = 0;
  double lengthPt = 0;
  bool landscape = false;
  Resolution resolution{};
};

double PtFromHundredthsMm(int v) { return v * 72.0 / 2540.0; }
int TenthsMm(double pt) { return static_cast<int>(std::floor(pt * 254.0 / 72.0 + 0.5)); }
int Px(double pt, int dpi) { return static_cast<int>(std::floor(pt * dpi / 72.0 + 0.5)); }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Windows ids for the sizes every driver knows, so that a DEVMODE reads the
// same on both systems.
int16_t StandardPaperId(const std::string& name, double widthPt, double lengthPt) {
  struct Known {
    const char* pwg;
    int16_t id;
  };
  static const Known kKnown[] = {
      {"na_letter_8.5x11in", 1},  {"na_ledger_11x17in", 3}, {"na_legal_8.5x14in", 5},
      {"na_executive_7.25x10.5in", 7}, {"iso_a3_297x420mm", 8}, {"iso_a4_210x297mm", 9},
      {"iso_a5_148x210mm", 11},   {"jis_b5_182x257mm", 13}, {"na_number-10_4.125x9.5in", 20},
      {"iso_dl_110x220mm", 27},   {"iso_c5_162x229mm", 28}, {"iso_a6_105x148mm", 70},
  };
  pwg_media_t* pwg = pwgMediaForPPD(name.c_str());
  if (!pwg) pwg = pwgMediaForPWG(name.c_str());
  if (!pwg || !pwg->pwg) return 0;
  // A rotated or transverse variant has the same name stem but not the shape.
  if (std::abs(TenthsMm(widthPt) * 10 - pwg->width) > 100 ||
      std::abs(TenthsMm(lengthPt) * 10 - pwg->length) > 100)
    return 0;
  for (const Known& k : kKnown) {
    if (std::strcmp(pwg->pwg, k.pwg) == 0) return k.id;
  }
  return 0;
}

void AssignPaperIds(std::vector<Media>& media) {
  std::vector<int16_t> used;
  for (size_t i = 0; i < media.size(); ++i) {
    int16_t id = StandardPaperId(media[i].name, media[i].widthPt, media[i].lengthPt);
    if (id == 0 || std::find(used.begin(), used.end(), id) != used.end())
      id = static_cast<int16_t>(kDmPaperUser + 1 + static_cast<int>(i));
    used.push_back(id);
    media[i].id = id;
  }
}

// ---- reading the queue ----

IppMessage QueueAttributes(http_t* http, const std::string& queue) {
  static const char* const kAttrs[] = {
      "orientation-requested-default", "printer-resolution-default",
      "printer-resolution-supported",  "media-col-database",
      "media-col-default",             "media-default"};
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  const std::string uri = CupsSpooler::PrinterUri(queue);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(std::size(kAttrs)), nullptr, kAttrs);
  IppMessage response(cupsDoRequest(http, request, "/"));
  if (!response || !CupsSpooler::IppOk(ippGetStatusCode(response.get()))) {
    CupsSpooler::SetLastErrorFromIpp();
    return nullptr;
  }
  return response;
}

struct PpdCloser {
  void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};
using Ppd = std::unique_ptr<ppd_file_t, PpdCloser>;

// The queue's PPD from the scheduler (the copy in /etc/cups is not readable
// by users). The downloaded file is removed at once.
Ppd FetchPpdFile(http_t* http, const std::string& queue) {
  char path[1024] = "";
  time_t modtime = 0;
  if (cupsGetPPD3(http, queue.c_str(), &modtime, path, sizeof path) != HTTP_STATUS_OK) {
    if (path[0]) ::unlink(path);
    return nullptr;
  }
  Ppd ppd(ppdOpenFile(path));
  ::unlink(path);
  return ppd;
}

// The same, always over the connection and into memory. cupsGetPPD3 takes a
// shortcut to the scheduler's own copy when access() allows it, and access()
// asks about the real user: while a thread acts as a user its real id stays
// the daemon's, so the shortcut would be taken and the open then refused.
Ppd FetchPpdOverConnection(http_t* http, const std::string& queue) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string resource = "/printers/";
  for (unsigned char c : queue) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      resource.push_back(static_cast<char>(c));
    } else {
      resource += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  resource += ".ppd";
  Fd fd(::memfd_create("tillerbrook-ppd", MFD_CLOEXEC));
  if (fd.get() < 0) return nullptr;
  if (cupsGetFd(http, resource.c_str(), fd.get()) != HTTP_STATUS_OK) return nullptr;
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) return nullptr;
  cups_file_t* file = cupsFileOpenFd(fd.get(), "r");
  if (!file) return nullptr;
  fd.Release();  // cupsFileClose closes it
  Ppd ppd(ppdOpen2(file));
  cupsFileClose(file);
  return ppd;
}

Ppd FetchPpd(http_t* http, const std::string& queue) {
  // The local copy is much quicker to read than a download of the file.
  Ppd ppd = ::getuid() == ::geteuid() ? FetchPpdFile(http, queue)
                                      : FetchPpdOverConnection(http, queue);
  if (ppd) ppdMarkDefaults(ppd.get());
  return ppd;
}

void ReadPpd(ppd_file_t* ppd, QueueGeometry& g) {
  const ppd_size_t* marked = ppdPageSize(ppd, nullptr);
  for (int i = 0; i < ppd->num_sizes; ++i) {
    const ppd_size_t& s = ppd->sizes[i];
    if (s.width <= 0 || s.length <= 0 || std::strcmp(s.name, "Custom") == 0) continue;
    Media m;
    m.name = s.name;
    m.widthPt = s.width;
    m.lengthPt = s.length;
    m.left = s.left;
    m.bottom = s.bottom;
    m.right = s.right;
    m.top = s.top;
    if (marked && std::strcmp(marked->name, s.name) == 0)
      g.defaultMedia = static_cast<int>(g.media.size());
    g.media.push_back(std::move(m));
  }
  for (int i = 0; i < 4; ++i) g.customMargins[i] = ppd->custom_margins[i];

  for (const char* keyword : {"Resolution", "JCLResolution", "SetResolution"}) {
    ppd_option_t* option = ppdFindOption(ppd, keyword);
    if (!option) continue;
    for (int i = 0; i < option->num_choices; ++i) {
      Resolution r;
      if (ParseResolution(option->choices[i].choice, r)) g.resolutions.push_back(r);
    }
    ppd_choice_t* chosen = ppdFindMarkedChoice(ppd, keyword);
    Resolution r;
    if (chosen && ParseResolution(chosen->choice, r)) g.defaultResolution = r;
    else if (ParseResolution(option->defchoice, r)) g.defaultResolution = r;
    break;
  }
  if (g.defaultResolution.x == 0) {
    Resolution r;
    if (ppd_attr_t* attr = ppdFindAttr(ppd, "DefaultResolution", nullptr);
        attr && attr->value && ParseResolution(attr->value, r)) {
      g.defaultResolution = r;
      if (g.resolutions.empty()) g.resolutions.push_back(r);
    }
  }
}

bool MediaFromCollection(ipp_t* col, Media& m) {
  ipp_attribute_t* size = ippFindAttribute(col, "media-size", IPP_TAG_BEGIN_COLLECTION);
  if (!size) return false;
  ipp_t* dims = ippGetCollection(size, 0);
  ipp_attribute_t* x = ippFindAttribute(dims, "x-dimension", IPP_TAG_INTEGER);
  ipp_attribute_t* y = ippFindAttribute(dims, "y-dimension", IPP_TAG_INTEGER);
  if (!x || !y) return false;  // a range: custom sizes, not a sheet
  const int w = ippGetInteger(x, 0), l = ippGetInteger(y, 0);
  if (w <= 0 || l <= 0) return false;
  auto margin = [col](const char* name) {
    ipp_attribute_t* a = ippFindAttribute(col, name, IPP_TAG_INTEGER);
    return a ? PtFromHundredthsMm(ippGetInteger(a, 0)) : 0.0;
  };
  m.widthPt = PtFromHundredthsMm(w);
  m.lengthPt = PtFromHundredthsMm(l);
  m.left = margin("media-left-margin");
  m.bottom = margin("media-bottom-margin");
  m.right = m.widthPt - margin("media-right-margin");
  m.top = m.lengthPt - margin("media-top-margin");
  if (ipp_attribute_t* n = ippFindAttribute(col, "media-size-name", IPP_TAG_ZERO)) {
    if (const char* s = ippGetString(n, 0, nullptr)) m.name = s;
  }
  if (m.name.empty()) {
    if (pwg_media_t* pwg = pwgMediaForSize(w, l); pwg && pwg->pwg) m.name = pwg->pwg;
  }
  return !m.name.empty();
}

void ReadIppMedia(ipp_t* attrs, QueueGeometry& g) {
  if (ipp_attribute_t* db = ippFindAttribute(attrs, "media-col-database", IPP_TAG_BEGIN_COLLECTION)) {
    for (int i = 0; i < ippGetCount(db); ++i) {
      Media m;
      if (!MediaFromCollection(ippGetCollection(db, i), m)) continue;
      // The database repeats a size for every source and type.
      const bool seen = std::any_of(g.media.begin(), g.media.end(),
                                    [&](const Media& e) { return e.name == m.name; });
      if (!seen) g.media.push_back(std::move(m));
    }
  }
  Media def;
  ipp_attribute_t* defCol = ippFindAttribute(attrs, "media-col-default", IPP_TAG_BEGIN_COLLECTION);
  if (defCol && MediaFromCollection(ippGetCollection(defCol, 0), def)) {
    for (size_t i = 0; i < g.media.size(); ++i) {
      if (TenthsMm(g.media[i].widthPt) == TenthsMm(def.widthPt) &&
          TenthsMm(g.media[i].lengthPt) == TenthsMm(def.lengthPt)) {
        g.defaultMedia = static_cast<int>(i);
        break;
      }
    }
    if (g.defaultMedia < 0) {
      g.media.push_back(def);
      g.defaultMedia = static_cast<int>(g.media.size()) - 1;
    }
  }
}

void ReadIppResolutions(ipp_t* attrs, QueueGeometry& g) {
  auto read = [](ipp_attribute_t* a, int i, Resolution& r) {
    ipp_res_t units;
    int y = 0;
    int x = ippGetResolution(a, i, &y, &units);
    if (units == IPP_RES_PER_CM) {
      x = static_cast<int>(x * 2.54 + 0.5);
      y = static_cast<int>(y * 2.54 + 0.5);
    }
    if (x <= 0 || y <= 0) return false;
    r = {x, y};
    return true;
  };
  if (ipp_attribute_t* a = ippFindAttribute(attrs, "printer-resolution-supported", IPP_TAG_RESOLUTION)) {
    for (int i = 0; i < ippGetCount(a); ++i) {
      Resolution r;
      if (read(a, i, r)) g.resolutions.push_back(r);
    }
  }
  if (ipp_attribute_t* a = ippFindAttribute(attrs, "printer-resolution-default", IPP_TAG_RESOLUTION)) {
    Resolution r;
    if (read(a, 0, r)) g.defaultResolution = r;
  }
}

bool LoadGeometry(const std::string& queue, QueueGeometry& g) {
  if (queue.empty() || queue.find('/') != std::string::npos) {
    CupsSpooler::SetLastError(IPP_STATUS_ERROR_NOT_FOUND);
    return false;
  }
  CupsConnection http = CupsSpooler::ConnectLocal();
  if (!http) return false;
  IppMessage attrs = QueueAttributes(http.get(), queue);
  if (!attrs) return false;

  if (Ppd ppd = FetchPpd(http.get(), queue)) {
    ReadPpd(ppd.get(), g);
  } else {
    ReadIppMedia(attrs.get(), g);
  }
  if (g.resolutions.empty() && g.defaultResolution.x == 0) ReadIppResolutions(attrs.get(), g);
  if (g.defaultResolution.x == 0 && !g.resolutions.empty()) g.defaultResolution = g.resolutions[0];
  if (g.defaultMedia < 0 && !g.media.empty()) g.defaultMedia = 0;

  if (ipp_attribute_t* o = ippFindAttribute(attrs.get(), "orientation-requested-default", IPP_TAG_ENUM)) {
    const int v = ippGetInteger(o, 0);
    g.defaultLandscape = v == IPP_ORIENT_LANDSCAPE || v == IPP_ORIENT_REVERSE_LANDSCAPE;
  }
  AssignPaperIds(g.media);
  return true;
}

// ---- choices and DEVMODEs ----

PageChoice DefaultChoice(const QueueGeometry& g) {
  PageChoice c;
  c.media = g.defaultMedia;
  c.landscape = g.defaultLandscape;
  c.resolution = g.defaultResolution;
  return c;
}

int MediaBySize(const QueueGeometry& g, int widthTenths, int lengthTenths) {
  for (size_t i = 0; i < g.media.size(); ++i) {
    if (TenthsMm(g.media[i].widthPt) == widthTenths && TenthsMm(g.media[i].lengthPt) == lengthTenths)
      return static_cast<int>(i);
  }
  return -1;
}

// The fields a DEVMODE carries replace those of the choice, as a driver
// merges a DEVMODE into its current settings.
void ApplyDevmode(const QueueGeometry& g, const DevMode& d, PageChoice& c) {
  const uint32_t f = dm::Fields(d);
  if (f & dm::DM_ORIENTATION) {
    if (dm::Orientation(d) == kPortrait) c.landscape = false;
    if (dm::Orientation(d) == kLandscape) c.landscape = true;
  }
  if ((f & dm::DM_PAPERSIZE) && dm::PaperSize(d) > 0) {
    for (size_t i = 0; i < g.media.size(); ++i) {
      if (g.media[i].id == dm::PaperSize(d)) c.media = static_cast<int>(i);
    }
  }
  if ((f & dm::DM_PAPERWIDTH) && (f & dm::DM_PAPERLENGTH) && dm::PaperWidth(d) > 0 &&
      dm::PaperLength(d) > 0) {
    const int listed = MediaBySize(g, dm::PaperWidth(d), dm::PaperLength(d));
    const bool sameAsChosen = c.media >= 0 && listed == c.media;
    if (!sameAsChosen) {
      c.media = listed;
      c.widthPt = dm::PaperWidth(d) * 72.0 / 254.0;
      c.lengthPt = dm::PaperLength(d) * 72.0 / 254.0;
    }
  }
  if ((f & dm::DM_PRINTQUALITY) && dm::PrintQuality(d) > 0) {
    c.resolution = {dm::PrintQuality(d), dm::PrintQuality(d)};
    if ((f & dm::DM_YRESOLUTION) && dm::YResolution(d) > 0) c.resolution.y = dm::YResolution(d);
  }
}

void WriteWide(DevMode& d, size_t offset, const std::string& text) {
  // 31 characters and the terminator; queue and media names are ASCII.
  for (size_t i = 0; i < 31 && i < text.size(); ++i)
    dm::Write<uint16_t>(d, offset + 2 * i, static_cast<uint8_t>(text[i]));
}

DevMode ToDevmode(const std::string& queue, const QueueGeometry& g, const PageChoice& c) {
  uint32_t fields = dm::DM_ORIENTATION;
  DevMode d = dm::MakeEmpty();
  WriteWide(d, 0, queue);
  dm::Write<int16_t>(d, dm::kOrientation, c.landscape ? kLandscape : kPortrait);
  double w = c.widthPt, l = c.lengthPt;
  if (c.media >= 0) {
    const Media& m = g.media[static_cast<size_t>(c.media)];
    w = m.widthPt;
    l = m.lengthPt;
    fields |= dm::DM_PAPERSIZE | dm::DM_FORMNAME;
    dm::Write<int16_t>(d, dm::kPaperSize, m.id);
    WriteWide(d, dm::kFormName, m.name);
  }
  if (w > 0 && l > 0) {
    fields |= dm::DM_PAPERWIDTH | dm::DM_PAPERLENGTH;
    dm::Write<int16_t>(d, dm::kPaperWidth, static_cast<int16_t>(TenthsMm(w)));
    dm::Write<int16_t>(d, dm::kPaperLength, static_cast<int16_t>(TenthsMm(l)));
  }
  if (c.resolution.x > 0) {
    fields |= dm::DM_PRINTQUALITY | dm::DM_YRESOLUTION;
    dm::Write<int16_t>(d, dm::kPrintQuality, static_cast<int16_t>(c.resolution.x));
    dm::Write<int16_t>(d, dm::kYResolution, static_cast<int16_t>(c.resolution.y));
  }
  dm::Write<uint32_t>(d, dm::kFields, fields);
  return d;
}

// ---- the user's lpoptions ----

std::string EffectiveUserHome() {
  AccountEntry entry;
  if (FindAccount(::geteuid(), entry) != 0 || !entry.pw.pw_dir) return {};
  return entry.pw.pw_dir;
}

// The options of the queue's "Dest" or "Default" line in the user's own
// lpoptions; false when the user set nothing for it (or the file is refused).
bool ReadUserOptions(const std::string& queue, std::map<std::string, std::string>& options) {
  const std::string home = EffectiveUserHome();
  if (home.empty()) return false;
  std::string text;
  if (!ReadLpoptionsFile(home + "/.cups/lpoptions", text)) return false;
  return QueueOptions(text, queue, options);
}

// The sheet a media name stands for, in points; false also for a size no
// DEVMODE can carry.
bool SizeFromMediaName(const std::string& name, double& widthPt, double& lengthPt) {
  if (!MediaNameFitsLookup(name)) return false;
  pwg_media_t* pwg = pwgMediaForPWG(name.c_str());
  if (!pwg) pwg = pwgMediaForLegacy(name.c_str());
  if (!pwg) pwg = pwgMediaForPPD(name.c_str());
  if (pwg && pwg->width > 0 && pwg->length > 0) {
    const double w = PtFromHundredthsMm(pwg->width), l = PtFromHundredthsMm(pwg->length);
    if (w > kMaxSheetPt || l > kMaxSheetPt) return false;
    widthPt = w;
    lengthPt = l;
    return true;
  }
  // "w288h432": the PPD convention for sizes without a standard name, in points.
  return ParsePointSize(name, widthPt, lengthPt);
}

// A media name as users write it: the PPD's own, a PWG keyword, a legacy
// name, "Custom.WxH<unit>" or "wWhL".
void ApplyMediaName(const QueueGeometry& g, const std::string& value, PageChoice& c) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(',', start);
    if (end == std::string::npos) end = value.size();
    const std::string part = value.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    for (size_t i = 0; i < g.media.size(); ++i) {
      if (EqualsNoCase(g.media[i].name, part)) {
        c.media = static_cast<int>(i);
        return;
      }
    }
    double widthPt = 0, lengthPt = 0;
    if (!SizeFromMediaName(part, widthPt, lengthPt)) continue;  // a media type or source
    // Listed sizes compare in points, so allow the rounding of a PWG name.
    int best = -1;
    double bestDiff = 1.5;  // mm
    for (size_t i = 0; i < g.media.size(); ++i) {
      const double dw = std::abs(g.media[i].widthPt - widthPt) * 25.4 / 72.0;
      const double dl = std::abs(g.media[i].lengthPt - lengthPt) * 25.4 / 72.0;
      if (std::max(dw, dl) < bestDiff) {
        best = static_cast<int>(i);
        bestDiff = std::max(dw, dl);
      }
    }
    c.media = best;
    c.widthPt = widthPt;
    c.lengthPt = lengthPt;
    return;
  }
}

void ApplyUserOptions(const QueueGeometry& g, const std::map<std::string, std::string>& options,
                      PageChoice& c) {
  auto get = [&](const char* name) -> const std::string* {
    for (const auto& [k, v] : options) {
      if (EqualsNoCase(k, name)) return &v;
    }
    return nullptr;
  };
  if (const std::string* v = get("media")) ApplyMediaName(g, *v, c);
  if (const std::string* v = get("PageSize")) ApplyMediaName(g, *v, c);
  if (const std::string* v = get("orientation-requested")) {
    int o = 0;
    ParseOrientation(*v, o);  // anything else reads as portrait
    c.landscape = o == IPP_ORIENT_LANDSCAPE || o == IPP_ORIENT_REVERSE_LANDSCAPE;
  } else if (const std::string* v = get("landscape")) {
    c.landscape = !EqualsNoCase(*v, "false") && !EqualsNoCase(*v, "no") && !EqualsNoCase(*v, "off");
  }
  for (const char* name : {"printer-resolution", "Resolution"}) {
    Resolution r;
    if (const std::string* v = get(name); v && ParseResolution(*v, r)) c.resolution = r;
  }
}

// ---- the device context ----

class CupsDeviceContext : public DeviceContext {
 public:
  explicit CupsDeviceContext(std::map<int, int> caps) : caps_(std::move(caps)) {}
  int GetDeviceCaps(int index) override {
    auto it = caps_.find(index);
    return it == caps_.end() ? 0 : it->second;
  }

 private:
  std::map<int, int> caps_;
};

bool Usable(const DevMode& d) { return d.size() >= 76 && dm::Size(d) >= 76; }

const std::string& HandleQueue(PrinterHandle& printer) {
  return static_cast<CupsPrinterHandle&>(printer).name();
}

}  // namespace

int CupsSpooler::DocumentProperties(PrinterHandle& printer, const std::string& name, DevMode* out,
                                    const DevMode* in, uint32_t mode) {
  const std::string& queue = name.empty() ? HandleQueue(printer) : name;
  if (mode == 0) return static_cast<int>(dm::kFullSize);
  if (!(mode & DM_OUT_BUFFER) || (mode & ~(DM_OUT_BUFFER | DM_IN_BUFFER)) || !out) {
    SetLastError(EINVAL);
    return -1;
  }
  QueueGeometry g;
  if (!LoadGeometry(queue, g)) return -1;
  PageChoice choice = DefaultChoice(g);
  if ((mode & DM_IN_BUFFER) && in) {
    if (!Usable(*in)) {
      SetLastError(EINVAL);
      return -1;
    }
    ApplyDevmode(g, *in, choice);
  }
  const DevMode result = ToDevmode(queue, g, choice);
  if (out->size() < result.size()) {
    SetLastError(ENOBUFS);
    return -1;
  }
  std::copy(result.begin(), result.end(), out->begin());
  return 1;
}

bool CupsSpooler::GetPrinterDevMode(PrinterHandle& printer, int level, DevMode& out) {
  const std::string& queue = HandleQueue(printer);
  if (level != 2 && level != 8 && level != 9) {
    SetLastError(EINVAL);
    return false;
  }
  std::map<std::string, std::string> options;
  if (level == 9 && !ReadUserOptions(queue, options)) {
    SetLastError(ENOENT);
    return false;
  }
  QueueGeometry g;
  if (!LoadGeometry(queue, g)) return false;
  PageChoice choice = DefaultChoice(g);
  if (level == 9) ApplyUserOptions(g, options, choice);
  out = ToDevmode(queue, g, choice);
  return true;
}

int CupsSpooler::PaperIds(const std::string& name, std::vector<int16_t>* out) {
  QueueGeometry g;
  if (!LoadGeometry(name, g)) return -1;
  if (out) {
    out->clear();
    for (const Media& m : g.media) out->push_back(m.id);
  }
  return static_cast<int>(g.media.size());
}

int CupsSpooler::PaperSizes(const std::string& name, std::vector<PaperSizeTenthsMm>* out) {
  QueueGeometry g;
  if (!LoadGeometry(name, g)) return -1;
  if (out) {
    out->clear();
    for (const Media& m : g.media) out->push_back({TenthsMm(m.widthPt), TenthsMm(m.lengthPt)});
  }
  return static_cast<int>(g.media.size());
}

int CupsSpooler::Resolutions(const std::string& name, std::vector<Resolution>* out) {
  QueueGeometry g;
  if (!LoadGeometry(name, g)) return -1;
  if (out) *out = g.resolutions;
  return static_cast<int>(g.resolutions.size());
}

std::unique_ptr<DeviceContext> CupsSpooler::CreateDC(const std::string& name,
                                                     const DevMode& devmode) {
  if (!Usable(devmode)) {
    SetLastError(EINVAL);
    return nullptr;
  }
  QueueGeometry g;
  if (!LoadGeometry(name, g)) return nullptr;
  PageChoice c = DefaultChoice(g);
  ApplyDevmode(g, devmode, c);

  double w = c.widthPt, l = c.lengthPt;
  double mLeft = g.customMargins[0], mBottom = g.customMargins[1];
  double mRight = g.customMargins[2], mTop = g.customMargins[3];
  if (c.media >= 0) {
    const Media& m = g.media[static_cast<size_t>(c.media)];
    w = m.widthPt;
    l = m.lengthPt;
    mLeft = m.left;
    mBottom = m.bottom;
    mRight = m.widthPt - m.right;
    mTop = m.lengthPt - m.top;
  }
  // Without a sheet or a resolution there is nothing a DC could measure.
  if (w <= 0 || l <= 0 || c.resolution.x <= 0 || c.resolution.y <= 0) {
    SetLastError(ENODATA);
    return nullptr;
  }
  int dpiX = c.resolution.x, dpiY = c.resolution.y;
  if (c.landscape) {
    // Turned a quarter counter-clockwise: the sheet's left strip is now at
    // the top and its bottom strip at the left.
    std::swap(w, l);
    const double left = mBottom, top = mLeft, right = mTop, bottom = mRight;
    mLeft = left;
    mTop = top;
    mRight = right;
    mBottom = bottom;
    std::swap(dpiX, dpiY);
  }
  std::map<int, int> caps{
      {kLogPixelsX, dpiX},
      {kLogPixelsY, dpiY},
      {kPhysicalWidth, Px(w, dpiX)},
      {kPhysicalHeight, Px(l, dpiY)},
      {kHorzRes, Px(w - mLeft - mRight, dpiX)},
      {kVertRes, Px(l - mTop - mBottom, dpiY)},
      {kPhysicalOffsetX, Px(mLeft, dpiX)},
      {kPhysicalOffsetY, Px(mTop, dpiY)},
  };
  return std::make_unique<CupsDeviceContext>(std::move(caps));
}

}  // namespace tb::platform

#pragma GCC diagnostic pop
