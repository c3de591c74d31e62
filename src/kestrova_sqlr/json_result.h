// The turning of a finished JSON document into the heap string that an
// operation hands to its host.
#ifndef KESTROVA_SQLR_JSON_RESULT_H_
#define KESTROVA_SQLR_JSON_RESULT_H_

#include <cstddef>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/status.h"

struct yyjson_mut_doc;

namespace kestrova::sqlr {

// The longest JSON text an operation may return, terminator not counted.
constexpr size_t SQLR_JSON_MAX_BYTES = SQLR_MAX_RESULT_BYTES;

// Serialises `doc` (may be null) as compact JSON into `*text`, a new
// NUL-terminated string on the C heap, which the caller owns and passes on to
// the host. On failure `*text` is null and the failure says why ("null JSON
// document", "failed to serialize JSON", "JSON result exceeds 100MB limit").
// Neither frees nor changes the document.
Status sqlr_strdup_json(const yyjson_mut_doc* doc, char** text) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_JSON_RESULT_H_
