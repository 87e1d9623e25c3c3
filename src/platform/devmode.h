#pragma once
// A DEVMODE as the Windows spooler hands it out: the public DEVMODEW layout,
// dmSize + dmDriverExtra bytes. The Linux spooler builds the same bytes from a
// CUPS queue's defaults so that the portable code reads one format.
#include <cstdint>
#include <cstring>
#include <vector>

namespace tb::platform {

using DevMode = std::vector<uint8_t>;

// Field offsets in DEVMODEW (WCHAR dmDeviceName[32] comes first).
namespace devmode {
inline constexpr size_t kSpecVersion = 64;
inline constexpr size_t kDriverVersion = 66;
inline constexpr size_t kSize = 68;
inline constexpr size_t kDriverExtra = 70;
inline constexpr size_t kFields = 72;
inline constexpr size_t kOrientation = 76;
inline constexpr size_t kPaperSize = 78;
inline constexpr size_t kPaperLength = 80;
inline constexpr size_t kPaperWidth = 82;
inline constexpr size_t kPrintQuality = 90;
inline constexpr size_t kYResolution = 96;
inline constexpr size_t kFormName = 102;       // WCHAR[32]
inline constexpr size_t kFullSize = 220;       // sizeof(DEVMODEW)

inline constexpr uint32_t DM_ORIENTATION = 0x1;
inline constexpr uint32_t DM_PAPERSIZE = 0x2;
inline constexpr uint32_t DM_PAPERLENGTH = 0x4;
inline constexpr uint32_t DM_PAPERWIDTH = 0x8;
inline constexpr uint32_t DM_PRINTQUALITY = 0x400;
inline constexpr uint32_t DM_YRESOLUTION = 0x2000;
inline constexpr uint32_t DM_FORMNAME = 0x10000;

// A field past the end of the buffer reads as 0.
template <typename T>
T Read(const DevMode& dm, size_t offset) {
  T v{};
  if (offset + sizeof(T) <= dm.size()) std::memcpy(&v, dm.data() + offset, sizeof(T));
  return v;
}

// Grows the buffer with zeros when the field lies past its end.
template <typename T>
void Write(DevMode& dm, size_t offset, T v) {
  if (dm.size() < offset + sizeof(T)) dm.resize(offset + sizeof(T), 0);
  std::memcpy(dm.data() + offset, &v, sizeof(T));
}

inline uint16_t Size(const DevMode& dm) { return Read<uint16_t>(dm, kSize); }
inline uint16_t DriverExtra(const DevMode& dm) { return Read<uint16_t>(dm, kDriverExtra); }
inline uint32_t Fields(const DevMode& dm) { return Read<uint32_t>(dm, kFields); }
inline int16_t Orientation(const DevMode& dm) { return Read<int16_t>(dm, kOrientation); }
inline int16_t PaperSize(const DevMode& dm) { return Read<int16_t>(dm, kPaperSize); }
inline int16_t PaperLength(const DevMode& dm) { return Read<int16_t>(dm, kPaperLength); }
inline int16_t PaperWidth(const DevMode& dm) { return Read<int16_t>(dm, kPaperWidth); }
inline int16_t PrintQuality(const DevMode& dm) { return Read<int16_t>(dm, kPrintQuality); }
inline int16_t YResolution(const DevMode& dm) { return Read<int16_t>(dm, kYResolution); }

// A zeroed DEVMODEW of full size with dmSize, dmSpecVersion and dmFields set.
inline DevMode MakeEmpty(uint32_t fields = 0) {
  DevMode dm(kFullSize, 0);
  Write<uint16_t>(dm, kSpecVersion, 0x0401);
  Write<uint16_t>(dm, kSize, static_cast<uint16_t>(kFullSize));
  Write<uint32_t>(dm, kFields, fields);
  return dm;
}
}  // namespace devmode

}  // namespace tb::platform
