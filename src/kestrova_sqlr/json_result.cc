#include "kestrova_sqlr/json_result.h"

#include <yyjson.h>

#include <cstdlib>

#include "kestrova_sqlr/messages.h"

namespace kestrova::sqlr {

Status sqlr_strdup_json(const yyjson_mut_doc* doc, char** text) noexcept {
  *text = nullptr;
  if (doc == nullptr) return Status::error(Status::Code::kNoMemory, "%s", msg::kNullDocument);
  size_t len = 0;
  char* written = yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr);
  if (written == nullptr) {
    return Status::error(Status::Code::kNoMemory, "%s", msg::kSerializeFailed);
  }
  if (len > SQLR_JSON_MAX_BYTES) {
    std::free(written);
    return Status::error(Status::Code::kTooLarge, "%s", msg::kResultTooLarge);
  }
  *text = written;
  return Status();
}

}  // namespace kestrova::sqlr
