#pragma once
// A user's own printer settings (~/.cups/lpoptions) and the values in it.
// The file belongs to the user and is read by the daemon, so nothing in it is
// trusted: it may be a FIFO, a link to a device, huge, or hold numbers that
// do not fit.
#include <map>
#include <string>
#include <string_view>

#include "platform/spooler.h"

namespace tb::platform {

// The most of the file that is read; the rest is ignored.
inline constexpr size_t kMaxLpoptionsBytes = 64 * 1024;

// The file's text as the calling thread's file-system identity may read it:
// never following a link at its last step, never waiting (a FIFO or device
// opens without blocking and is refused as not regular), at most
// kMaxLpoptionsBytes. False (errno set) when it is missing or refused.
bool ReadLpoptionsFile(const std::string& path, std::string& text);

// The options of the queue's "Dest" or "Default" lines (queue names compare
// without case; an instance "queue/label" is another destination); false
// when no line names the queue.
bool QueueOptions(const std::string& text, const std::string& queue,
                  std::map<std::string, std::string>& options);

// "300dpi", "600x300dpi", "118dpcm" (converted to dots per inch). Both
// values end within 1..kMaxDpi; anything else is refused.
inline constexpr int kMaxDpi = 32767;
bool ParseResolution(std::string_view text, Resolution& r);

// "wWhL" with W and L in points (decimals allowed). Refused unless both are
// finite, positive and at most kMaxSheetPt, a sheet a DEVMODE can carry.
inline constexpr double kMaxSheetPt = 9288.0;  // 3276.7 mm
bool ParsePointSize(std::string_view text, double& widthPt, double& lengthPt);

// Whether a media name may be handed to libcups's size lookups, which decode
// custom sizes ("Custom.4x6in", "custom_x_100x150mm") with plain int
// arithmetic: at most 128 characters, no run of more than four digits and no
// metre or foot units, which keeps every size it can compute within an int.
bool MediaNameFitsLookup(std::string_view name);

// An IPP orientation-requested value, 3 to 6; refused otherwise.
bool ParseOrientation(std::string_view text, int& orientation);

}  // namespace tb::platform
