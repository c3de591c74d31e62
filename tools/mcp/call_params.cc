// JSON has no blob: a client that means bytes sends text, and a value that is
// an array or object has no one literal, so it is refused rather than guessed.
#include "mcp/call_params.h"

#include <cstdlib>
#include <string_view>

#include "mcp/answer.h"

namespace kestrova::tools::mcp {
namespace {

bool scalar(yyjson_val* v) {
  return yyjson_is_null(v) || yyjson_is_bool(v) || yyjson_is_num(v) || yyjson_is_raw(v) ||
         yyjson_is_str(v);
}

SqlValue value_of(yyjson_val* v) {
  if (yyjson_is_bool(v)) return SqlValue::of_integer(yyjson_get_bool(v) ? 1 : 0);
  if (yyjson_is_sint(v)) return SqlValue::of_integer(yyjson_get_sint(v));
  if (yyjson_is_uint(v)) {
    const uint64_t u = yyjson_get_uint(v);
    return u <= INT64_MAX ? SqlValue::of_integer(static_cast<int64_t>(u))
                          : SqlValue::of_real(static_cast<double>(u));
  }
  if (yyjson_is_real(v)) return SqlValue::of_real(yyjson_get_real(v));
  // A number too large for 64 bits, kept as its text by the reader.
  if (yyjson_is_raw(v)) return SqlValue::of_real(std::strtod(yyjson_get_raw(v), nullptr));
  if (yyjson_is_str(v)) return SqlValue::of_text(std::string(yyjson_get_str(v), yyjson_get_len(v)));
  return SqlValue::null();
}

}  // namespace

// See call_params.h.
bool params_values_fit(yyjson_val* params, std::string* error) {
  constexpr const char kWhat[] = "must be null, true, false, a number or a string";
  if (yyjson_is_arr(params)) {
    size_t i, n;
    yyjson_val* v;
    yyjson_arr_foreach(params, i, n, v) {
      if (!scalar(v)) {
        *error = "value " + std::to_string(i) + " " + kWhat;
        return false;
      }
    }
    return true;
  }
  size_t i, n;
  yyjson_val *k, *v;
  yyjson_obj_foreach(params, i, n, k, v) {
    if (!scalar(v)) {
      *error =
          "value '" + quoted(std::string_view(yyjson_get_str(k), yyjson_get_len(k))) + "' " + kWhat;
      return false;
    }
  }
  return true;
}

// See call_params.h.
SqlParams sql_params_of(yyjson_val* params) {
  SqlParams out;
  out.by_name = yyjson_is_obj(params);
  size_t i, n;
  if (out.by_name) {
    yyjson_val *k, *v;
    yyjson_obj_foreach(params, i, n, k, v) {
      out.named.emplace_back(std::string(yyjson_get_str(k), yyjson_get_len(k)), value_of(v));
    }
  } else {
    yyjson_val* v;
    yyjson_arr_foreach(params, i, n, v) { out.positional.push_back(value_of(v)); }
  }
  return out;
}

// See call_params.h.
bool put_params(const std::string& sql, yyjson_val* params, std::string* out, std::string* error) {
  if (params == nullptr) {
    *out = sql;
    return true;
  }
  return bind_params(sql, sql_params_of(params), out, error);
}

}  // namespace kestrova::tools::mcp
