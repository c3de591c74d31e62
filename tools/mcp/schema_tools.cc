// Matching folds ASCII case only, as SQLite's own LIKE and lower() do, so
// that what search_schema finds is what a query with LIKE would find.
#include "mcp/schema_tools.h"

#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json.h"
#include "common/library.h"
#include "kestrova_sqlite_reader.h"
#include "mcp/cursor.h"
#include "mcp/entry_list.h"

namespace kestrova::tools::mcp {
namespace {

constexpr const char kBadCursor[] =
    "invalid cursor: not one this server gave for these arguments, or its table is gone; call "
    "again without a cursor";

std::string folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool contains(std::string_view text, const std::string& folded_pattern) {
  return folded(text).find(folded_pattern) != std::string::npos;
}

// Adds "name", "kind" and "module" (virtual tables only) of `entry` to `obj`.
void add_identity(yyjson_mut_doc* doc, yyjson_mut_val* obj, const CatalogueEntry& entry) {
  yyjson_mut_obj_add_strncpy(doc, obj, "name", entry.name.data(), entry.name.size());
  yyjson_mut_obj_add_strncpy(doc, obj, "kind", entry.kind.data(), entry.kind.size());
  if (!entry.module.empty()) {
    yyjson_mut_obj_add_strncpy(doc, obj, "module", entry.module.data(), entry.module.size());
  }
}

// Adds "rows": the bounded count of `name`, "10000+" past the bound, null
// when it cannot be counted.
void add_rows(yyjson_mut_doc* doc, yyjson_mut_val* obj, Catalogue* catalogue,
              const std::string& name) {
  RowCount count;
  CatalogueError ignored;
  if (!catalogue->count(name, false, &count, &ignored)) {
    yyjson_mut_obj_add_null(doc, obj, "rows");
  } else if (count.at_least) {
    const std::string bound = std::to_string(kCountBound) + "+";
    yyjson_mut_obj_add_strncpy(doc, obj, "rows", bound.data(), bound.size());
  } else {
    yyjson_mut_obj_add_int(doc, obj, "rows", count.rows);
  }
}

std::string written(yyjson_mut_doc* doc, yyjson_mut_val* root) {
  yyjson_mut_doc_set_root(doc, root);
  std::string out, ignored;
  write_json(doc, YYJSON_WRITE_NOFLAG, &out, &ignored);
  return out;
}

// The tables offered: hidden ones only when asked.
bool offered(Catalogue* catalogue, bool include_hidden, std::vector<CatalogueEntry>* out,
             ToolFailure* failure) {
  std::vector<CatalogueEntry> entries;
  CatalogueError error;
  if (!catalogue->list(&entries, &error)) {
    failure->message = error.message;
    return false;
  }
  for (CatalogueEntry& e : entries) {
    if (include_hidden || !e.hidden) out->push_back(std::move(e));
  }
  return true;
}

// Where a list of `names` starts for `cursor` ("" = at its start).
bool start_of(std::string_view list, const std::string& cursor,
              const std::vector<std::string_view>& names, size_t* start, ToolFailure* failure) {
  *start = 0;
  if (cursor.empty() || resume_cursor(list, cursor, names, start)) return true;
  failure->message = kBadCursor;
  return false;
}

// {"tables":`entries`,"total":N,"next_cursor":..}
std::string list_answer(const EntryList& entries, size_t total, const std::string& next) {
  return "{\"tables\":" + entries.json() + ",\"total\":" + std::to_string(total) +
         ",\"next_cursor\":" + (next.empty() ? "null" : "\"" + next + "\"") + "}";
}

// The index and trigger names of each table, as sqlite_schema lists them.
using NamedParts = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

bool parts_of_tables(int32_t handle, NamedParts* out, ToolFailure* failure) {
  const Result text(sqlr_query(handle,
                               "SELECT type, name, tbl_name FROM sqlite_schema WHERE type IN "
                               "('index','trigger') ORDER BY name",
                               0, SQLR_MAX_PAGE_ROWS));
  if (text == nullptr) {
    failure->message = last_error();
    return false;
  }
  const ParsedDoc doc = read_json(text.get(), YYJSON_READ_NOFLAG, &failure->message);
  if (doc == nullptr) return false;
  size_t i, n;
  yyjson_val* row;
  yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "rows"), i, n, row) {
    const char* type = yyjson_get_str(yyjson_obj_get(row, "type"));
    yyjson_val* name = yyjson_obj_get(row, "name");
    yyjson_val* table = yyjson_obj_get(row, "tbl_name");
    if (type == nullptr || !yyjson_is_str(name) || !yyjson_is_str(table)) continue;
    (*out)[std::string(yyjson_get_str(table), yyjson_get_len(table))].emplace_back(
        type, std::string(yyjson_get_str(name), yyjson_get_len(name)));
  }
  return true;
}

// The column names of each table and view, keyed by its name.
using ColumnNames = std::map<std::string, std::vector<std::string>>;

// Reads the column names of every table and view in as few statements as a
// page holds, since each statement costs the library a pass over the schema:
// one per table made a search of 20,000 tables take seconds. False when the
// statement fails (a view over a table that is gone, a virtual table whose
// module is missing); the caller then asks table by table.
bool columns_of_tables(int32_t handle, ColumnNames* out) {
  constexpr const char kSql[] =
      "SELECT m.name AS t, p.name AS c FROM sqlite_schema AS m JOIN "
      "pragma_table_xinfo(m.name, 'main') AS p WHERE m.type IN ('table','view') AND p.hidden <> 1 "
      "ORDER BY m.name, p.cid";
  for (int32_t offset = 0;; offset += SQLR_MAX_PAGE_ROWS) {
    const Result text(sqlr_query(handle, kSql, offset, SQLR_MAX_PAGE_ROWS));
    if (text == nullptr) return false;
    std::string ignored;
    const ParsedDoc doc = read_json(text.get(), YYJSON_READ_NOFLAG, &ignored);
    yyjson_val* rows = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "rows");
    if (!yyjson_is_arr(rows)) return false;
    size_t i, n;
    yyjson_val* row;
    yyjson_arr_foreach(rows, i, n, row) {
      yyjson_val* table = yyjson_obj_get(row, "t");
      yyjson_val* column = yyjson_obj_get(row, "c");
      if (!yyjson_is_str(table) || !yyjson_is_str(column)) continue;
      (*out)[std::string(yyjson_get_str(table), yyjson_get_len(table))].emplace_back(
          yyjson_get_str(column), yyjson_get_len(column));
    }
    if (yyjson_arr_size(rows) < static_cast<size_t>(SQLR_MAX_PAGE_ROWS)) return true;
  }
}

// One table found, and what of it matched ({in, name}).
struct Found {
  const CatalogueEntry* entry;
  std::vector<std::pair<const char*, std::string>> matches;
  size_t more_matches = 0;
};

void add_match(Found* found, const char* in, std::string_view name) {
  if (found->matches.size() < kMaxMatchesShown) {
    found->matches.emplace_back(in, std::string(name));
  } else {
    ++found->more_matches;
  }
}

// How much of a table found an entry shows: everything its detail asks for,
// or, when that passes what one answer holds, less and less of it.
enum class EntryForm {
  kWhole,     // the detail asked for
  kNames,     // names and matches, and why the rest is left out
  kCounted,   // names and the count of matches, and a short why
  kIdentity,  // the name and kind alone
};

// The entry of `found` at `detail`, in `form`; `omitted_bytes` is what the
// whole entry takes when it is left out.
std::string search_entry(Catalogue* catalogue, const Found& found, const std::string& detail,
                         bool with_matches, EntryForm form, size_t omitted_bytes) {
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_doc* d = doc.get();
  yyjson_mut_val* obj = yyjson_mut_obj(d);
  add_identity(d, obj, *found.entry);
  if (form == EntryForm::kIdentity) return written(d, obj);
  if (with_matches && form != EntryForm::kCounted) {
    yyjson_mut_val* matches = yyjson_mut_obj_add_arr(d, obj, "matches");
    for (const auto& [in, name] : found.matches) {
      yyjson_mut_val* m = yyjson_mut_arr_add_obj(d, matches);
      yyjson_mut_obj_add_str(d, m, "in", in);
      yyjson_mut_obj_add_strncpy(d, m, "name", name.data(), name.size());
    }
    if (found.more_matches > 0) {
      yyjson_mut_obj_add_uint(d, obj, "more_matches", found.more_matches);
    }
  } else if (with_matches) {
    yyjson_mut_obj_add_arr(d, obj, "matches");
    yyjson_mut_obj_add_uint(d, obj, "more_matches", found.matches.size() + found.more_matches);
  }
  if (form != EntryForm::kWhole || detail == "names") {
    if (omitted_bytes > 0) {
      const std::string why =
          form == EntryForm::kCounted
              ? std::to_string(omitted_bytes) + " bytes: ask for less"
              : "the " + detail + " detail takes " + std::to_string(omitted_bytes) +
                    " bytes, more than one answer holds: use describe_table, read_query on "
                    "pragma_table_info, or a lower detail";
      yyjson_mut_obj_add_strncpy(d, obj, "omitted", why.data(), why.size());
    }
    return written(d, obj);
  }
  const std::string& name = found.entry->name;
  if (detail == "summary") {
    std::vector<CatalogueColumn> columns;
    CatalogueError ignored;
    yyjson_mut_val* list = yyjson_mut_obj_add_arr(d, obj, "columns");
    if (catalogue->columns(name, &columns, &ignored)) {
      for (const CatalogueColumn& c : columns) {
        yyjson_mut_val* col = yyjson_mut_arr_add_obj(d, list);
        yyjson_mut_obj_add_strncpy(d, col, "name", c.name.data(), c.name.size());
        yyjson_mut_obj_add_strncpy(d, col, "type", c.type.data(), c.type.size());
      }
    }
    add_rows(d, obj, catalogue, name);
  } else {
    std::string description;
    CatalogueError error;
    if (catalogue->describe_json(name, &description, &error)) {
      yyjson_mut_obj_add_val(d, obj, "description",
                             yyjson_mut_rawncpy(d, description.data(), description.size()));
    } else {
      yyjson_mut_obj_add_strncpy(d, obj, "error", error.message.data(), error.message.size());
    }
  }
  return written(d, obj);
}

}  // namespace

// See schema_tools.h.
bool list_tables_json(Catalogue* catalogue, bool include_hidden, const std::string& cursor,
                      const ResultBudget& budget, std::string* json, ToolFailure* failure) {
  std::vector<CatalogueEntry> entries;
  if (!offered(catalogue, include_hidden, &entries, failure)) return false;
  std::vector<std::string_view> names;
  for (const CatalogueEntry& e : entries) names.emplace_back(e.name);
  const std::string list = include_hidden ? "T" : "t";
  size_t start;
  if (!start_of(list, cursor, names, &start, failure)) return false;
  EntryList out(budget);
  std::string next;
  for (size_t at = start; at < entries.size(); ++at) {
    const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val* obj = yyjson_mut_obj(doc.get());
    add_identity(doc.get(), obj, entries[at]);
    add_rows(doc.get(), obj, catalogue, entries[at].name);
    const std::string entry = written(doc.get(), obj);
    if (!out.fits_alone(entry)) continue;  // a name too long for any answer
    if (!out.add(entry)) {
      next = make_cursor(list, at, names[at - 1]);
      break;
    }
  }
  *json = list_answer(out, entries.size(), next);
  return true;
}

// See schema_tools.h.
bool search_schema_json(Catalogue* catalogue, int32_t handle, const SchemaSearch& search,
                        const ResultBudget& budget, std::string* json, ToolFailure* failure) {
  std::vector<CatalogueEntry> entries;
  if (!offered(catalogue, search.include_hidden, &entries, failure)) return false;
  const bool with_pattern = !search.pattern.empty();
  const std::string pattern = folded(search.pattern);
  NamedParts parts;
  if (with_pattern && !parts_of_tables(handle, &parts, failure)) return false;
  ColumnNames all_columns;
  const bool columns_read = with_pattern && columns_of_tables(handle, &all_columns);
  std::vector<Found> found;
  for (const CatalogueEntry& e : entries) {
    Found f{&e, {}, 0};
    if (with_pattern) {
      if (contains(e.name, pattern)) add_match(&f, "table", e.name);
      // sqlite_schema itself is no row of its own: asked for alone.
      const auto names = columns_read ? all_columns.find(e.name) : all_columns.end();
      if (names != all_columns.end()) {
        for (const std::string& c : names->second) {
          if (contains(c, pattern)) add_match(&f, "column", c);
        }
      } else {
        std::vector<CatalogueColumn> columns;
        CatalogueError ignored;
        if (catalogue->columns(e.name, &columns, &ignored)) {
          for (const CatalogueColumn& c : columns) {
            if (contains(c.name, pattern)) add_match(&f, "column", c.name);
          }
        }
      }
      const auto it = parts.find(e.name);
      if (it != parts.end()) {
        for (const auto& [type, name] : it->second) {
          if (contains(name, pattern)) add_match(&f, type == "index" ? "index" : "trigger", name);
        }
      }
      if (f.matches.empty()) continue;
    }
    found.push_back(std::move(f));
  }
  std::vector<std::string_view> names;
  for (const Found& f : found) names.emplace_back(f.entry->name);
  const std::string list =
      list_key("s", search.pattern + '\0' + search.detail + (search.include_hidden ? "1" : "0"));
  size_t start;
  if (!start_of(list, search.cursor, names, &start, failure)) return false;
  EntryList out(budget);
  std::string next;
  for (size_t at = start; at < found.size(); ++at) {
    if (out.count() == static_cast<size_t>(search.limit)) {
      next = make_cursor(list, at, names[at - 1]);
      break;
    }
    // The fullest form of the entry that fits an answer of its own; a name
    // too long for any answer is left out.
    std::string entry =
        search_entry(catalogue, found[at], search.detail, with_pattern, EntryForm::kWhole, 0);
    const size_t whole_bytes = entry.size();
    for (EntryForm form : {EntryForm::kNames, EntryForm::kCounted, EntryForm::kIdentity}) {
      if (out.fits_alone(entry)) break;
      entry = search_entry(catalogue, found[at], search.detail, with_pattern, form, whole_bytes);
    }
    if (!out.fits_alone(entry)) continue;
    if (!out.add(entry)) {
      next = make_cursor(list, at, names[at - 1]);
      break;
    }
  }
  *json = list_answer(out, found.size(), next);
  return true;
}

}  // namespace kestrova::tools::mcp
