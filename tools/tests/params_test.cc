// The parameter scanner against the table of cases that every binding's own
// scanner is tested against too: the exact text it writes, the rows that text
// gives through the library, every error with its message, and changes made
// through sqlr_exec; the database read by all the query cases is unchanged.
#include "common/params.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kestrova_sqlite_reader.h"
#include "test_util.h"
#include "yyjson.h"

namespace kestrova::tools {
namespace {

using sqlr_test::OpenDb;
using sqlr_test::Result;
using sqlr_test::TempDir;

// The table, read once for the whole program.
struct Doc {
  yyjson_doc* doc = nullptr;
  Doc() {
    yyjson_read_err err;
    doc = yyjson_read_file(SQLR_PARAMS_CASES, YYJSON_READ_NOFLAG, nullptr, &err);
  }
  ~Doc() { yyjson_doc_free(doc); }
};

const Doc& table() {
  static const Doc doc;
  return doc;
}

std::string str(yyjson_val* v) { return std::string(yyjson_get_str(v), yyjson_get_len(v)); }

std::string unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// A value of the table ({"int": "..."}, {"real": ...}, {"text": ...}, ...).
SqlValue value_of(yyjson_val* v) {
  if (yyjson_is_null(v)) return SqlValue::null();
  if (yyjson_val* i = yyjson_obj_get(v, "int")) {
    int64_t n = 0;
    const std::string text = str(i);
    std::from_chars(text.data(), text.data() + text.size(), n);
    return SqlValue::of_integer(n);
  }
  if (yyjson_val* r = yyjson_obj_get(v, "real")) {
    if (yyjson_is_num(r)) return SqlValue::of_real(yyjson_get_num(r));
    const std::string name = str(r);
    if (name == "nan") return SqlValue::of_real(std::nan(""));
    return SqlValue::of_real(name == "inf" ? HUGE_VAL : -HUGE_VAL);
  }
  if (yyjson_val* t = yyjson_obj_get(v, "text")) return SqlValue::of_text(str(t));
  if (yyjson_val* t = yyjson_obj_get(v, "text_hex")) return SqlValue::of_text(unhex(str(t)));
  return SqlValue::of_blob(unhex(str(yyjson_obj_get(v, "blob_hex"))));
}

SqlParams params_of(yyjson_val* v) {
  SqlParams params;
  params.by_name = yyjson_is_obj(v);
  size_t idx, max;
  yyjson_val* item;
  if (params.by_name) {
    yyjson_val* key;
    yyjson_obj_foreach(v, idx, max, key, item) {
      params.named.emplace_back(str(key), value_of(item));
    }
  } else {
    yyjson_arr_foreach(v, idx, max, item) { params.positional.push_back(value_of(item)); }
  }
  return params;
}

// One cell as the library wrote it (numbers as their raw text) against the
// table's typed cell; a real by its bits, so -0.0 is not 0.0.
bool same_cell(yyjson_val* got, yyjson_val* want) {
  if (yyjson_is_null(want)) return yyjson_is_null(got);
  if (yyjson_val* i = yyjson_obj_get(want, "int"))
    return yyjson_is_raw(got) && str(i) == yyjson_get_raw(got);
  if (yyjson_val* r = yyjson_obj_get(want, "real")) {
    if (!yyjson_is_raw(got) || !yyjson_is_num(r)) return false;
    const double a = std::strtod(yyjson_get_raw(got), nullptr), b = yyjson_get_num(r);
    return std::memcmp(&a, &b, sizeof a) == 0;
  }
  yyjson_val* t = yyjson_obj_get(want, "text");
  return t != nullptr && yyjson_is_str(got) && str(got) == str(t);
}

// The rows of the library's page `text` against the table's `want` rows; a
// description of the first difference, or "" when they are the same.
std::string compare_rows(const char* text, yyjson_val* want) {
  yyjson_doc* doc = yyjson_read(text, std::strlen(text), YYJSON_READ_NUMBER_AS_RAW);
  if (doc == nullptr) return "unreadable page";
  std::string diff;
  yyjson_val* rows = yyjson_obj_get(yyjson_doc_get_root(doc), "rows");
  if (yyjson_arr_size(rows) != yyjson_arr_size(want)) diff = "row count differs";
  for (size_t r = 0; diff.empty() && r < yyjson_arr_size(want); ++r) {
    yyjson_val* row = yyjson_arr_get(rows, r);
    yyjson_val* cells = yyjson_arr_get(want, r);
    if (yyjson_obj_size(row) != yyjson_arr_size(cells)) diff = "cell count differs";
    size_t idx, max;
    yyjson_val *key, *cell;
    yyjson_obj_foreach(row, idx, max, key, cell) {
      if (diff.empty() && !same_cell(cell, yyjson_arr_get(cells, idx))) {
        diff = "row " + std::to_string(r) + " cell " + std::to_string(idx) + " differs";
      }
    }
  }
  yyjson_doc_free(doc);
  return diff.empty() ? diff : diff + " in " + text;
}

// The kind of error a message is, by the published forms.
std::string kind_of(const std::string& message) {
  if (message.ends_with(" has no value")) return "missing";
  if (message.find(" values given for ") != std::string::npos ||
      message.starts_with("no parameter takes the value named ")) {
    return "unused";
  }
  if (message.ends_with(" is named: give the values by name")) return "needs_mapping";
  if (message.find(" is out of range (1 to 32766)") != std::string::npos) return "range";
  return "other";
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ParamsCases, TableIsRead) {
  ASSERT_NE(table().doc, nullptr) << SQLR_PARAMS_CASES;
  EXPECT_GT(yyjson_arr_size(yyjson_obj_get(yyjson_doc_get_root(table().doc), "cases")), 0u);
}

TEST(ParamsCases, EveryCaseThroughTheScannerAndTheLibrary) {
  ASSERT_NE(table().doc, nullptr);
  yyjson_val* root = yyjson_doc_get_root(table().doc);
  const std::string setup = str(yyjson_obj_get(root, "setup"));
  TempDir dir;
  const std::string path = dir.file("cases.db");
  sqlr_test::make_db(path, setup);
  const std::string before = file_bytes(path);
  OpenDb db(path, 0);
  ASSERT_GE(db.handle(), 0) << sqlr_last_error();

  size_t idx, max, exec_count = 0;
  yyjson_val* c;
  yyjson_arr_foreach(yyjson_obj_get(root, "cases"), idx, max, c) {
    const std::string name = str(yyjson_obj_get(c, "name"));
    SCOPED_TRACE(name);
    std::string out, error;
    const bool ok = bind_params(str(yyjson_obj_get(c, "sql")),
                                params_of(yyjson_obj_get(c, "params")), &out, &error);
    if (yyjson_val* kind = yyjson_obj_get(c, "error")) {
      EXPECT_FALSE(ok) << out;
      EXPECT_EQ(error, str(yyjson_obj_get(c, "message")));
      EXPECT_EQ(kind_of(error), str(kind));
      continue;
    }
    EXPECT_TRUE(ok) << error;
    if (!ok) continue;
    if (yyjson_val* want = yyjson_obj_get(c, "sql_out")) {
      EXPECT_EQ(out, str(want));
    }
    if (yyjson_get_bool(yyjson_obj_get(c, "exec"))) {
      // A fresh copy for each change, so that each case finds the rows of the setup.
      const std::string copy = dir.file("exec" + std::to_string(exec_count++) + ".db");
      sqlr_test::make_db(copy, setup);
      OpenDb w(copy, 1);
      EXPECT_GE(w.handle(), 0) << sqlr_last_error();
      EXPECT_EQ(sqlr_exec(w.handle(), out.c_str()), yyjson_get_sint(yyjson_obj_get(c, "changes")))
          << sqlr_last_error();
      const Result after(
          sqlr_query(w.handle(), str(yyjson_obj_get(c, "after_sql")).c_str(), 0, -1));
      EXPECT_TRUE(after) << sqlr_last_error();
      if (after) {
        EXPECT_EQ(compare_rows(after.get(), yyjson_obj_get(c, "after_rows")), "");
      }
      continue;
    }
    const Result page(sqlr_query(db.handle(), out.c_str(), 0, -1));
    if (yyjson_get_bool(yyjson_obj_get(c, "refused"))) {
      EXPECT_FALSE(page) << out;
      continue;
    }
    if (yyjson_val* rows = yyjson_obj_get(c, "rows")) {
      EXPECT_TRUE(page) << out << ": " << sqlr_last_error();
      if (page) {
        EXPECT_EQ(compare_rows(page.get(), rows), "") << out;
      }
    }
  }
  EXPECT_EQ(file_bytes(path), before);
}

// A real reads back as the same double through the library, whatever its bits
// (the table holds the edges; these are spread over the whole range).
TEST(ParamsLiterals, RealsReadBackExactly) {
  TempDir dir;
  const std::string path = dir.file("r.db");
  sqlr_test::make_db(path, "CREATE TABLE t(x)");
  OpenDb db(path, 0);
  ASSERT_GE(db.handle(), 0);
  uint64_t bits = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 2000; ++i) {
    bits ^= bits << 13, bits ^= bits >> 7, bits ^= bits << 17;  // xorshift64
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    SqlParams params;
    params.positional.push_back(SqlValue::of_real(value));
    std::string sql, error;
    ASSERT_TRUE(bind_params("SELECT ?", params, &sql, &error)) << error;
    const Result page(sqlr_query(db.handle(), sql.c_str(), 0, 1));
    ASSERT_TRUE(page) << sql << ": " << sqlr_last_error();
    yyjson_doc* doc = yyjson_read(page.get(), std::strlen(page.get()), YYJSON_READ_NUMBER_AS_RAW);
    yyjson_val* row = yyjson_arr_get(yyjson_obj_get(yyjson_doc_get_root(doc), "rows"), 0);
    yyjson_obj_iter it = yyjson_obj_iter_with(row);
    yyjson_val* cell = yyjson_obj_iter_get_val(yyjson_obj_iter_next(&it));
    ASSERT_TRUE(yyjson_is_raw(cell)) << page.get();
    const double back = std::strtod(yyjson_get_raw(cell), nullptr);
    yyjson_doc_free(doc);
    EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << sql;
  }
}

}  // namespace
}  // namespace kestrova::tools
