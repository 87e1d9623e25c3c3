#include "routes/history_route.h"

#include "http/replies.h"
#include "store/print_records.h"

namespace tb {

void HandleHistory(const httplib::Request&, httplib::Response& res) {
  SendJson(res, store::ListHistory(), 200);
}

}  // namespace tb
