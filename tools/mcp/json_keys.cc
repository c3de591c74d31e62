// A walk over a read document with an explicit stack of containers.
#include "mcp/json_keys.h"

#include <algorithm>
#include <vector>

namespace kestrova::tools::mcp {
namespace {

std::string_view key_text(yyjson_val* key) {
  return std::string_view(yyjson_get_str(key), yyjson_get_len(key));
}

// Whether the object `obj` names a key twice; the key in `dup` when it does.
bool object_repeats_a_key(yyjson_val* obj, std::vector<std::string_view>* scratch,
                          std::string_view* dup) {
  const size_t n = yyjson_obj_size(obj);
  if (n < 2) return false;
  scratch->clear();
  yyjson_obj_iter it = yyjson_obj_iter_with(obj);
  while (yyjson_val* key = yyjson_obj_iter_next(&it)) scratch->push_back(key_text(key));
  if (n <= kPairwiseKeys) {
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = i + 1; j < n; ++j) {
        if ((*scratch)[i] == (*scratch)[j]) {
          *dup = (*scratch)[i];
          return true;
        }
      }
    }
    return false;
  }
  std::sort(scratch->begin(), scratch->end());
  const auto at = std::adjacent_find(scratch->begin(), scratch->end());
  if (at == scratch->end()) return false;
  *dup = *at;
  return true;
}

}  // namespace

// See json_keys.h.
bool repeats_a_key(yyjson_val* obj, std::string_view* key) {
  std::vector<std::string_view> scratch;
  return yyjson_is_obj(obj) && object_repeats_a_key(obj, &scratch, key);
}

// See json_keys.h.
bool has_duplicate_key(yyjson_val* root, std::string_view* key) {
  if (!yyjson_is_ctn(root)) return false;
  std::vector<yyjson_val*> pending{root};
  std::vector<std::string_view> scratch;
  while (!pending.empty()) {
    yyjson_val* ctn = pending.back();
    pending.pop_back();
    if (yyjson_is_obj(ctn)) {
      if (object_repeats_a_key(ctn, &scratch, key)) return true;
      yyjson_obj_iter it = yyjson_obj_iter_with(ctn);
      while (yyjson_val* k = yyjson_obj_iter_next(&it)) {
        yyjson_val* value = yyjson_obj_iter_get_val(k);
        if (yyjson_is_ctn(value)) pending.push_back(value);
      }
    } else {
      yyjson_arr_iter it = yyjson_arr_iter_with(ctn);
      while (yyjson_val* value = yyjson_arr_iter_next(&it)) {
        if (yyjson_is_ctn(value)) pending.push_back(value);
      }
    }
  }
  return false;
}

}  // namespace kestrova::tools::mcp
