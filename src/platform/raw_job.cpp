#include "platform/raw_spooler.h"

#include <algorithm>

namespace tb::platform {

RawJobResult RunRawJob(RawJobSteps& steps, const std::string& printer, const std::string& title,
                       std::string_view data) {
  RawJobResult result;
  uint32_t jobId = 0;
  bool started = false;
  auto fail = [&](std::string error) {
    if (started || jobId != 0) steps.Cancel(jobId);
    result.error = std::move(error);
    return result;
  };
  std::string error;
  if (!steps.Open(printer, error)) return fail(error);
  if (!steps.Start(title, jobId, error)) return fail(error);
  started = true;
  size_t offset = 0;
  while (offset < data.size()) {
    const size_t size = std::min(kRawWriteChunk, data.size() - offset);
    size_t written = 0;
    if (!steps.Write(data.data() + offset, size, written, error)) return fail(error);
    // A spooler that takes nothing would keep this loop going for ever.
    if (written == 0 || written > size) return fail("write made no progress");
    offset += written;
  }
  if (!steps.Finish(error)) return fail(error);
  result.ok = true;
  result.jobId = jobId;
  return result;
}

}  // namespace tb::platform
