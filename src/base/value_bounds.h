#pragma once
// The longest request values the daemon stores or hands on, so that what it
// keeps (the print history, the client keys) and answers stays bounded.
#include <cstddef>
#include <string>
#include <string_view>

namespace tb {

inline constexpr std::size_t kMaxNameBytes = 256;   // a tracking number, printer name or client key
inline constexpr std::size_t kMaxPathBytes = 4096;  // a document's path
inline constexpr std::size_t kMaxClientKeys = 1000;
inline constexpr std::size_t kMaxAllowedOrigins = 100;

// "<field> is longer than <bound> bytes."
inline std::string TooLongText(std::string_view field, std::size_t bound) {
  return std::string(field) + " is longer than " + std::to_string(bound) + " bytes.";
}

}  // namespace tb
