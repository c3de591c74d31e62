// Each table is read with statements of the form
//   SELECT rowid, CASE WHEN typeof(c)='text' AND c LIKE '%t%' ESCAPE '\'
//                  THEN substr(c, start, n) END, CASE ... THEN length(c) END, ...
//   FROM t WHERE (typeof(c)='text' AND c LIKE ...) OR ... LIMIT per_table
// so the library sends back only excerpts, never a whole huge value, and the
// typeof test keeps numbers from matching by their digits.
#include "mcp/find_value.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json.h"
#include "common/library.h"
#include "kestrova_sqlite_reader.h"
#include "mcp/answer.h"
#include "mcp/cursor.h"
#include "mcp/entry_list.h"

namespace kestrova::tools::mcp {
namespace {

// Characters of context shown before the match, at most (and a quarter of
// what is shown).
constexpr int32_t kContextChars = 16;
// Tables whose error is reported, at most.
constexpr size_t kMaxSkippedShown = 20;

// `text` as a LIKE pattern matching it anywhere, with \ escaping % _ and \.
std::string like_pattern(std::string_view text) {
  std::string out = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + "%";
}

// What reads the row's identity: rowid (or an alias not shadowed by a
// column), the primary key of a WITHOUT ROWID table, or nothing.
std::vector<std::string> key_of(const CatalogueEntry& entry,
                                const std::vector<CatalogueColumn>& columns) {
  std::vector<std::string> key;
  if (entry.without_rowid) {
    for (int64_t position = 1;; ++position) {
      const CatalogueColumn* part = nullptr;
      for (const CatalogueColumn& c : columns) {
        if (c.pk == position) part = &c;
      }
      if (part == nullptr) break;
      key.push_back(sql_identifier(part->name));
    }
    return key;
  }
  if (entry.kind == "view") return key;
  for (const char* alias : {"rowid", "_rowid_", "oid"}) {
    bool shadowed = false;
    for (const CatalogueColumn& c : columns) {
      std::string lower = c.name;
      for (char& ch : lower) ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch;
      shadowed = shadowed || lower == alias;
    }
    if (!shadowed) return {alias};
  }
  return key;
}

// The library's excerpt `shown` of a value of `length` characters, taken
// from character `start`, marked with kCutMark where it was cut.
std::string excerpt(std::string_view shown, int64_t start, int64_t length, int32_t max_chars) {
  std::string out;
  if (start > 1) out += kCutMark;
  out += shown;
  if (start - 1 + max_chars < length) out += kCutMark;
  return out;
}

struct Search {
  Catalogue* catalogue;
  int32_t handle;
  const ValueSearch* request;
  std::string like;   // the LIKE pattern as an SQL literal
  std::string lower;  // lower(text) as an SQL literal
};

// The identity of a row as its key values read (numbers as raw text), to
// tell rows apart across the statements of one table.
std::string row_identity(const std::vector<yyjson_val*>& values, size_t key_size) {
  std::string id;
  for (size_t k = 0; k < key_size; ++k) {
    yyjson_val* v = values[k];
    const char* text = yyjson_is_raw(v) ? yyjson_get_raw(v) : yyjson_get_str(v);
    const size_t len = text != nullptr ? yyjson_get_len(v) : 0;
    id += yyjson_is_raw(v) ? 'r' : yyjson_is_str(v) ? 's' : 'n';
    id += std::to_string(len) + ":";
    id.append(text != nullptr ? text : "", len);
  }
  return id;
}

// Appends the matches of `columns` (a slice of the table's) to `out`, each
// as its JSON text, from the rows in `rows_met` (the table's rows with matches
// so far) or, while it holds fewer than per_table, new ones, which join it.
// False with the library's message.
bool search_columns(const Search& s, const CatalogueEntry& entry,
                    const std::vector<std::string>& key,
                    const std::vector<const CatalogueColumn*>& columns,
                    std::vector<std::string>* rows_met, std::vector<std::string>* out,
                    std::string* error) {
  std::string select = "SELECT ";
  for (const std::string& k : key) select += k + ",";
  const std::string context = std::to_string(std::min(kContextChars, s.request->max_chars / 4));
  std::string where;
  for (const CatalogueColumn* c : columns) {
    const std::string id = sql_identifier(c->name);
    const std::string test =
        "(typeof(" + id + ")='text' AND " + id + " LIKE " + s.like + " ESCAPE '\\')";
    select += "CASE WHEN " + test + " THEN max(1,instr(lower(" + id + ")," + s.lower + ")-" +
              context + ") END,";
    select += "CASE WHEN " + test + " THEN substr(" + id + ",max(1,instr(lower(" + id + ")," +
              s.lower + ")-" + context + ")," + std::to_string(s.request->max_chars) + ") END,";
    select += "CASE WHEN " + test + " THEN length(" + id + ") END,";
    where += (where.empty() ? "" : " OR ") + test;
  }
  select.pop_back();
  const std::string sql = select + " FROM " + sql_identifier(entry.name) + " WHERE " + where;
  const Result text(sqlr_query(s.handle, sql.c_str(), 0, s.request->per_table));
  if (text == nullptr) {
    *error = last_error();
    return false;
  }
  const ParsedDoc doc = read_json(text.get(), YYJSON_READ_NUMBER_AS_RAW, error);
  if (doc == nullptr) return false;
  size_t r, rows;
  yyjson_val* row;
  yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "rows"), r, rows, row) {
    // The row's values in select order (its names may repeat).
    std::vector<yyjson_val*> values;
    size_t i, n;
    yyjson_val *name, *value;
    yyjson_obj_foreach(row, i, n, name, value) { values.push_back(value); }
    if (values.size() != key.size() + 3 * columns.size()) continue;
    // A table's columns are read by several statements, each of its own
    // rows: the table reports per_table rows at most, the first ones met.
    const std::string identity = row_identity(values, key.size());
    if (std::find(rows_met->begin(), rows_met->end(), identity) == rows_met->end()) {
      if (rows_met->size() >= static_cast<size_t>(s.request->per_table)) continue;
      rows_met->push_back(identity);
    }
    for (size_t c = 0; c < columns.size(); ++c) {
      yyjson_val* start = values[key.size() + 3 * c];
      yyjson_val* shown = values[key.size() + 3 * c + 1];
      yyjson_val* length = values[key.size() + 3 * c + 2];
      if (!yyjson_is_str(shown)) continue;
      const BuiltDoc hit(yyjson_mut_doc_new(nullptr));
      yyjson_mut_doc* d = hit.get();
      yyjson_mut_val* obj = yyjson_mut_obj(d);
      yyjson_mut_obj_add_strncpy(d, obj, "table", entry.name.data(), entry.name.size());
      yyjson_mut_obj_add_strncpy(d, obj, "column", columns[c]->name.data(),
                                 columns[c]->name.size());
      if (entry.without_rowid) {
        yyjson_mut_val* parts = yyjson_mut_obj_add_arr(d, obj, "key");
        for (size_t k = 0; k < key.size(); ++k) {
          yyjson_mut_arr_append(parts, yyjson_val_mut_copy(d, values[k]));
        }
      } else if (key.empty()) {
        yyjson_mut_obj_add_null(d, obj, "rowid");
      } else {
        yyjson_mut_obj_add_val(d, obj, "rowid", yyjson_val_mut_copy(d, values[0]));
      }
      const int64_t from = yyjson_is_raw(start) ? std::atoll(yyjson_get_raw(start)) : 1;
      const int64_t chars = yyjson_is_raw(length) ? std::atoll(yyjson_get_raw(length)) : 0;
      const std::string cut =
          excerpt(std::string_view(yyjson_get_str(shown), yyjson_get_len(shown)), from, chars,
                  s.request->max_chars);
      yyjson_mut_obj_add_strncpy(d, obj, "value", cut.data(), cut.size());
      yyjson_mut_obj_add_int(d, obj, "length", chars);
      yyjson_mut_doc_set_root(d, obj);
      std::string entry_text;
      if (!write_json(d, YYJSON_WRITE_NOFLAG, &entry_text, error)) return false;
      out->push_back(std::move(entry_text));
    }
  }
  return true;
}

}  // namespace

// See find_value.h.
bool find_value_json(Catalogue* catalogue, int32_t handle, const ValueSearch& search,
                     const ResultBudget& budget, std::string* json, ToolFailure* failure) {
  const auto deadline = std::chrono::steady_clock::now() + kFindDeadline;
  std::vector<CatalogueEntry> all;
  CatalogueError error;
  if (!catalogue->list(&all, &error)) {
    failure->message = error.message;
    return false;
  }
  // Views show rows their tables hold already: only tables are searched.
  std::vector<const CatalogueEntry*> tables;
  std::vector<std::string_view> names;
  for (const CatalogueEntry& e : all) {
    if (e.kind == "view" || (e.hidden && !search.include_hidden)) continue;
    tables.push_back(&e);
    names.emplace_back(e.name);
  }
  const std::string list =
      list_key("f", search.text + '\0' + std::to_string(search.per_table) + '.' +
                        std::to_string(search.max_chars) + (search.include_hidden ? "1" : "0"));
  size_t start = 0;
  if (!search.cursor.empty() && !resume_cursor(list, search.cursor, names, &start)) {
    failure->message =
        "invalid cursor: not one this server gave for these arguments, or its table is gone; "
        "call again without a cursor";
    return false;
  }
  std::string lowered = search.text;
  for (char& ch : lowered) ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch;
  const Search s{catalogue, handle, &search, sql_literal(like_pattern(search.text)),
                 sql_literal(lowered)};
  EntryList out(budget);
  std::string skipped;
  size_t skipped_count = 0, searched = 0;
  const char* stopped = nullptr;
  size_t at = start;
  for (; at < tables.size(); ++at) {
    if (std::chrono::steady_clock::now() >= deadline) {
      stopped = "deadline";
      break;
    }
    const CatalogueEntry& entry = *tables[at];
    std::vector<CatalogueColumn> columns;
    std::string why;
    std::vector<std::string> hits, rows;
    bool out_of_time = false;
    if (catalogue->columns(entry.name, &columns, &error)) {
      const std::vector<std::string> key = key_of(entry, columns);
      std::vector<const CatalogueColumn*> slice;
      for (size_t c = 0; c < columns.size() && why.empty(); ++c) {
        slice.push_back(&columns[c]);
        if (slice.size() == kFindColumnsPerStatement || c + 1 == columns.size()) {
          // A wide table takes several statements: the deadline is kept
          // between them too. The first table of a call is reported as far
          // as it was searched, so that every call gets on.
          if (c + 1 > slice.size() && std::chrono::steady_clock::now() >= deadline) {
            out_of_time = true;
            why = "out of time after " + std::to_string(c + 1 - slice.size()) + " of " +
                  std::to_string(columns.size()) + " columns";
            break;
          }
          if (!search_columns(s, entry, key, slice, &rows, &hits, &why) && why.empty()) {
            why = "unreadable";
          }
          slice.clear();
        }
      }
    } else {
      why = error.message;
    }
    if (out_of_time && at > start) {
      stopped = "deadline";
      break;  // the next call searches this table again, from its start
    }
    if (!out.add_all(hits)) {
      stopped = "budget";
      if (out.count() > 0) break;  // the next call searches this table again
      // This table's matches alone pass the budget: the ones that fit, and
      // the next call goes on with the next table.
      for (const std::string& hit : hits) {
        if (!out.add(hit)) break;
      }
      ++searched;
      ++at;
      break;
    }
    ++searched;
    if (!why.empty() && ++skipped_count <= kMaxSkippedShown) {
      const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
      yyjson_mut_val* obj = yyjson_mut_obj(doc.get());
      const std::string name = cut_text(entry.name, kMaxEchoBytes);
      const std::string message = cut_text(why, kMaxEchoBytes * 4);
      yyjson_mut_obj_add_strncpy(doc.get(), obj, "table", name.data(), name.size());
      yyjson_mut_obj_add_strncpy(doc.get(), obj, "error", message.data(), message.size());
      yyjson_mut_doc_set_root(doc.get(), obj);
      std::string text, ignored;
      write_json(doc.get(), YYJSON_WRITE_NOFLAG, &text, &ignored);
      skipped += (skipped.empty() ? "" : ",") + text;
    }
    if (out_of_time) {
      stopped = "deadline";
      ++at;
      break;
    }
  }
  std::string next;
  if (stopped != nullptr && at < tables.size() && at > 0)
    next = make_cursor(list, at, names[at - 1]);
  *json = "{\"found\":" + out.json() + ",\"tables_searched\":" + std::to_string(searched) +
          ",\"tables\":" + std::to_string(tables.size()) +
          ",\"stopped\":" + (stopped == nullptr ? "null" : std::string("\"") + stopped + "\"") +
          ",\"skipped\":[" + skipped +
          "],\"next_cursor\":" + (next.empty() ? "null" : "\"" + next + "\"") + "}";
  return true;
}

}  // namespace kestrova::tools::mcp
