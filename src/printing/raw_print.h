#pragma once
// POST /print for printer languages: documents whose extension names a raw
// label or receipt language go to the printer's queue byte for byte, without
// the print program and without fitting, and only to printers an
// administrator switched on for raw printing.
#include <string_view>

#include "printing/print_execution.h"
#include "printing/print_intake.h"
#include "printing/print_services.h"

namespace tb::printing {

// Refusal codes of raw prints (the intake's own run from -1 to -3).
inline constexpr int kRawNotAllowed = -4;
inline constexpr int kRawControlLanguage = -5;
// A raw job the spooler did not take; recorded like a failed print.
inline constexpr int kRawSpoolerFailed = -6;

inline constexpr const char* kRawNotAllowedMessage = "该打印机未开启原始打印！";
inline constexpr const char* kRawControlLanguageMessage = "原始打印不接受 PJL 或 PostScript 数据！";

// zpl, epl, tspl, dpl, escpos, prn, raw (normalised extensions).
bool IsRawExtension(std::string_view extension);

// True for data that would switch a printer into its job or page control
// language: a PJL escape (ESC %-12345X) anywhere, or "%!" at the start,
// leading blanks aside.
bool DrivesPrinterControlLanguage(std::string_view data);

// Continues the intake for a raw document: checks, sends, records, replies.
// Gives back the request's cache lock before it takes PrintMutex.
PrintOutcome ExecuteRawPrint(PrintRequest&& request, const PrintServices& services)
    EXCLUDES(PrintMutex());

}  // namespace tb::printing
