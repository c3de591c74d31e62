// Owns one yyjson mutable document for the length of one call.
#ifndef KESTROVA_SQLR_JSON_DOC_H_
#define KESTROVA_SQLR_JSON_DOC_H_

#include <yyjson.h>

namespace kestrova::sqlr {

class JsonDoc {
 public:
  // Creates the document with yyjson's default allocator (the C heap); get()
  // is null when memory ran out.
  JsonDoc() noexcept : doc_(yyjson_mut_doc_new(nullptr)) {}
  ~JsonDoc() { reset(); }
  JsonDoc(const JsonDoc&) = delete;
  JsonDoc& operator=(const JsonDoc&) = delete;

  yyjson_mut_doc* get() const noexcept { return doc_; }

  // Frees the document now (idempotent).
  void reset() noexcept {
    yyjson_mut_doc_free(doc_);
    doc_ = nullptr;
  }

 private:
  yyjson_mut_doc* doc_;
};

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_JSON_DOC_H_
