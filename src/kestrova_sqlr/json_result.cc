#include "kestrova_sqlr/json_result.h"

#include <yyjson.h>

#include <cstdlib>

#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/messages.h"

namespace kestrova::sqlr {

char* sqlr_strdup_json(const yyjson_mut_doc* doc) noexcept {
  if (doc == nullptr) {
    sqlr_set_error("%s", msg::kNullDocument);
    return nullptr;
  }
  size_t len = 0;
  char* text = yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr);
  if (text == nullptr) {
    sqlr_set_error("%s", msg::kSerializeFailed);
    return nullptr;
  }
  if (len > SQLR_JSON_MAX_BYTES) {
    std::free(text);
    sqlr_set_error("%s", msg::kResultTooLarge);
    return nullptr;
  }
  return text;
}

}  // namespace kestrova::sqlr
