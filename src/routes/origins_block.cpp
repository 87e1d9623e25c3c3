#include "routes/origins_block.h"

#include "base/text.h"
#include "routes/status_page.h"

namespace tb {
namespace {

void AppendOriginRow(std::string& page, const std::string& origin, const char* route,
                     const char* word) {
  page += "    <div class='origin'>";
  page += HtmlEscape(origin);
  page += " <a href='";
  page += route;
  page += "?origin=";
  page += PercentEncode(origin);
  page += "' style='text-decoration: none;'>";
  page += word;
  page += "</a></div>";
}

}  // namespace

void AppendOriginsBlock(std::string& page, const std::vector<std::string>& allowed,
                        const std::vector<std::string>& refused) {
  page += "<div class='ts-info origins'>    <div class='ts'>allowedOrigins: ";
  page += allowed.empty() ? "off (every web page may use this service)" : "on";
  page += "</div>";
  for (const std::string& origin : allowed) AppendOriginRow(page, origin, "/deny-origin", "remove");
  if (!refused.empty()) {
    page += "    <div class='ts'>refusedOrigins:</div>";
    for (const std::string& origin : refused) {
      AppendOriginRow(page, origin, "/allow-origin", "allow");
    }
  }
  page +=
      "    <form action='/allow-origin' method='get'><input name='origin' size='32' "
      "placeholder='https://shop.example'> <button type='submit'>allow</button></form></div>";
}

}  // namespace tb
