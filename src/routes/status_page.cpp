#include "routes/status_page.h"

#include <fstream>
#include <iterator>

#include "base/text.h"
#include "http/guarded_server.h"
#include "http/replies.h"
#include "printers/printer_list.h"
#include "base/app_version.h"
#include "base/local_timestamp.h"
#include "http/refused_origins.h"
#include "routes/origins_block.h"
#include "store/allowed_origins.h"
#include "store/config_store.h"

namespace tb {
namespace {

using nlohmann::json;

constexpr const char* kHtmlContentType = "text/html; charset=utf-8";
constexpr size_t kPageReserve = 262144;  // the embedded image alone is ~176,000 characters

constexpr const char* kHead =
    "<html>\n"
    "<head>\n"
    "<meta charset='UTF-8'>\n"
    "<style>\n"
    "body { font-family: sans-serif; margin: 20px; }\n"
    "table { border-collapse: collapse; width: 100%; max-width: 800px; }\n"
    "th, td { border: 1px solid #ddd; padding: 12px; }\n"
    "th { background: #4CAF50; color: #fff; text-align: center; }\n"
    "tr:nth-child(even) { background: #f2f2f2; }\n"
    "tr:hover { background: #ddd; }\n"
    ".ok { color: green; font-weight: bold; }\n"
    ".footer { margin-top: 25px; padding-top: 15px; border-top: 1px solid #eee; }\n"
    ".footer a { color: #0078D4; text-decoration: none; margin-right: 20px; font-size: 14px; }\n"
    ".footer a:hover { text-decoration: underline; }\n"
    ".ts { color: #888; font-size: 12px; margin-top: 10px; }\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<h2>VarnholtOrv 打印机服务状态</h2>\n"
    "<table>\n"
    "<thead>\n"
    "<tr><th>序号</th><th>打印机名称</th><th>状态</th><th>默认</th><th>操作</th></tr>\n"
    "</thead>\n"
    "<tbody>\n";

constexpr const char* kNoPrintersRow =
    "<tr><td colspan='5' style='text-align:center'>未发现可用打印机</td></tr>\n";

constexpr const char* kDefaultMark =
    "<span style='color:#4CAF50;font-size:18px;font-weight:bold'>&#10004;</span>";
constexpr const char* kCurrentDefault = "<span style='color:#999;font-size:13px'>当前默认</span>";

constexpr const char* kFooter =
    "</tbody></table>\n"
    "<div class='footer'><a href='/printers'>打印机列表</a><a href='/list'>配置列表</a>"
    "<a href='/history'>打印历史</a></div>\n";

constexpr const char* kActions =
    "<div class='action-area'>"
    "    <div class='action-item'>        <span class='label'>功能测试</span>"
    "        <a href='/test' target='_blank' class='btn-link btn-test'>进入打印测试页</a>    </div>"
    "    <div class='action-item'>        <span class='label'>查看任务</span>"
    "        <a href='/jobs' target='_blank' class='btn-link btn-monitor'>查看打印机排队任务</a>    </div>"
    "    <div class='action-item'>        <span class='label'>清空任务</span>"
    "        <a href='/cancel' target='_blank' class='btn-link btn-monitor'>"
    "清空打印机排队任务（谨慎操作）</a>    </div>"
    "</div>";

// The record timestamp without its milliseconds.
std::string LocalTimeText() { return LocalTimestamp().substr(0, 19); }

void AppendPrinterRow(std::string& page, size_t number, const json& entry) {
  const std::string name = entry.value("name", std::string("Unknown"));
  const std::string status = entry.value("status", std::string("Ready"));
  const bool isDefault = entry.value("default", false);
  page += "<tr><td>";
  page += std::to_string(number);
  page += "</td><td>";
  page += HtmlEscape(name);
  page += "</td><td class='ok'>";
  page += HtmlEscape(status);
  page += "</td><td style='text-align:center'>";
  page += isDefault ? kDefaultMark : "-";
  page += "</td><td style='text-align:center'>";
  if (isDefault) {
    page += kCurrentDefault;
  } else {
    page += "<a href='/default?printerName=";
    page += PercentEncode(name);
    page += "' style='color:#0078D4;text-decoration:none;font-size:13px'>设为默认</a>";
  }
  page += "</td></tr>\n";
}

// Raw printing, per listed printer: its state and the link that flips it
// (the link says the state it sets, so a reload or a second click is harmless).
void AppendRawSwitches(std::string& page, const StatusPageInputs& in) {
  if (in.printers.empty()) return;
  page += "<div class='ts-info raw-printing'>    <div class='ts'>rawPrinting (zpl, epl, tspl, dpl, "
          "escpos, prn, raw):</div>";
  for (const json& entry : in.printers) {
    const std::string name = entry.value("name", std::string("Unknown"));
    const bool on = in.rawPrinters.count(name) > 0;
    page += "    <div class='raw-printer'><span class='raw-name'>";
    page += HtmlEscape(name);
    page += "</span>: <span class='raw-state'>";
    page += on ? "on" : "off";
    page += "</span> <a href='/raw?printerName=";
    page += PercentEncode(name);
    page += on ? "&amp;allow=0" : "&amp;allow=1";
    page += "' style='text-decoration: none;'>switch</a></div>";
  }
  page += "</div>";
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string BuildStatusPage(const StatusPageInputs& in) {
  std::string page;
  page.reserve(kPageReserve);
  page += kHead;
  if (in.printers.empty()) {
    page += kNoPrintersRow;
  } else {
    size_t number = 0;
    for (const json& entry : in.printers) AppendPrinterRow(page, ++number, entry);
  }
  page += kFooter;
  page += kActions;

  page += "<div class='ts-info'>    <div class='ts'>printSettings: ";
  page += in.printSettings;
  page +=
      "</div>    <div><a href='/fit' style='text-decoration: none;'>fit</a>"
      "<a href='/shrink' style='text-decoration: none;'>&nbsp; shrink</a>"
      "<a href='/noscale' style='text-decoration: none;'>&nbsp; noscale</a>"
      "<a href='/stretch' style='text-decoration: none;'>&nbsp; stretch</a></div>"
      "    <div class='ts'>autoScalePdf: ";
  page += in.autoScalePdf ? "true" : "false";
  page += "</div>    <div><a href = '/switch' style = 'text-decoration: none;' >switch </a></div>";
  page += "</div>";
  AppendRawSwitches(page, in);
  AppendOriginsBlock(page, in.allowedOrigins, in.refusedOrigins);

  page += "<div class='ts-info'>    <div class='ts'>最后查询时间: ";
  page += in.queryTime;
  page += "</div>    <div class='ts'>版本号: ";
  page += kAppVersion;
  page += "</div></div>";

  page += "<img src=\"data:image/png;base64,";
  page.append(kBrandImageBase64, kBrandImageBase64Length);
  page += "\" alt=\"Kelvra\" width=\"80\" height=\"80\"/>";
  page += "</body></html>";
  return page;
}

void HandleStatusPage(const httplib::Request&, httplib::Response& res) {
  // A printer list refresh waits for a handler slot, as on /printers.
  json cached;
  if (!printers::GetCachedPrinters(cached) && !TakeHandlerSlot()) {
    SendBusy(res);
    return;
  }
  StatusPageInputs in;
  in.printers = printers::ListPrintersWithDefault();
  in.printSettings = store::GetPrintSettings();
  in.autoScalePdf = store::GetAutoScalePdf();
  for (const store::ConfigEntry& row : store::ListConfig(store::kRawPrintingType, "")) {
    if (row.value == "1") in.rawPrinters.insert(row.key);
  }
  in.allowedOrigins = store::ListAllowedOrigins();
  in.refusedOrigins = RefusedOrigins::Shared().Latest();
  in.queryTime = LocalTimeText();
  res.status = 200;
  res.set_content(BuildStatusPage(in), kHtmlContentType);
}

void HandleTestPage(const httplib::Request&, httplib::Response& res) {
  std::ifstream file("test.html", std::ios::binary);
  if (!file) {
    res.status = 404;
    res.set_content("Error: test.html not found in current directory.",
                    "text/plain; charset=utf-8");
    return;
  }
  const std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // Read as text: a CR LF pair becomes one LF, a lone CR stays.
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  res.status = 200;
  res.set_content(text, kHtmlContentType);
}

}  // namespace tb
