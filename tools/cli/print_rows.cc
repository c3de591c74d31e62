// JSON prints the library's text as it comes, with the row asked beyond the
// page cut from it; the other formats go through the shared pager's pages
// (typed where BLOBs are shown apart) and a RowWriter (formats.h).
#include "cli/print_rows.h"

#include <cstdio>

#include "cli/all_rows.h"
#include "cli/formats.h"
#include "cli/progress.h"
#include "common/console_io.h"
#include "common/json.h"
#include "common/pager.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::cli {
namespace {

// Writes `json` (a whole document) in json or pretty form, with a newline.
bool write_document(std::string_view json, Format format, std::string* error) {
  if (format == Format::kPretty) {
    std::string text;
    const ParsedDoc doc = read_json(json, YYJSON_READ_NUMBER_AS_RAW, error);
    if (doc == nullptr ||
        !write_json(yyjson_doc_get_root(doc.get()), YYJSON_WRITE_PRETTY_TWO_SPACES, &text, error)) {
      *error = "cannot lay out the result: " + *error;
      return false;
    }
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stdout);
    return true;
  }
  std::fwrite(json.data(), 1, json.size(), stdout);
  std::fputc('\n', stdout);
  return true;
}

// One page in the library's shape: as JSON straight from the library's text
// (no parse), pretty through the page's document.
bool print_json_page(int32_t handle, const std::string& sql, const Options& opts,
                     std::string* error) {
  Pager pager = Pager::for_statement(handle, sql);
  Page page;
  if (opts.format == Format::kPretty) {
    std::string json;
    if (!pager.read(opts.offset, "", opts.limit, &page, error) ||
        !write_page_json(&page, opts.limit, &json, error) ||
        !write_document(json, opts.format, error)) {
      return false;
    }
  } else {
    if (!pager.read_text(opts.offset, opts.limit, &page, error)) return false;
    const std::string ending = page_json_ending(page, opts.limit) + "\n";
    std::fwrite(page.text.get(), 1, page.rows_end, stdout);
    std::fwrite(ending.data(), 1, ending.size(), stdout);
  }
  if (page.more && opts.limit > 0) say_more_rows(page.next_offset);
  return true;
}

// Whether `format` is written from the library's page text (RowWriter::
// text_page) rather than from a document of it.
bool takes_text(Format format) { return format == Format::kCsv || format == Format::kTsv; }

// Reads the page at `offset` of `limit` rows for `format`: as text where the
// format takes it (a document when the statement pages untyped).
bool read_page_for(Pager* pager, Format format, int64_t offset, int32_t limit, Page* page,
                   std::string* error) {
  return takes_text(format) ? pager->read_typed_text(offset, limit, page, error)
                            : pager->read(offset, "", limit, page, error);
}

// Writes the page `page` of `limit` rows of `pager` with `writer` (begin()
// first when `first`): from its text when the writer takes it, else row by
// row, the page read again into a document when it came as text the writer
// did not take.
bool write_rows(Pager* pager, int32_t limit, RowWriter* writer, bool first, Page* page,
                std::string* error) {
  if (page->doc == nullptr) {
    if (writer->text_page(*page, first)) return true;
    if (!pager->read(page->offset, "", limit, page, error)) return false;
  }
  if (first) writer->begin(*page);
  for (size_t i = 0; i < page->rows.size(); ++i) writer->row(*page, i);
  return true;
}

// Ends the page `page` written with `writer`: flushes it and says, for the
// table format, how many rows it held and where the next page starts.
bool finish_page(RowWriter* writer, const Page& page, const Options& opts, std::string* error) {
  writer->end();
  if (!writer->flush()) {
    *error = "cannot write the output";
    return false;
  }
  if (opts.format == Format::kTable) {
    const auto count = static_cast<size_t>(page.next_offset - page.offset);
    std::printf("(%zu row%s", count, count == 1 ? "" : "s");
    if (page.more && opts.limit > 0) {
      std::printf("; more rows follow, the next page starts at --offset %lld",
                  static_cast<long long>(page.next_offset));
    }
    std::printf(")\n");
  } else if (page.more && opts.limit > 0) {
    say_more_rows(page.next_offset);
  }
  return true;
}

// Writes `page` whole with a new writer for `opts.format`; for the table
// format with its count line. A page of --limit 0 (the columns alone) claims
// no next page.
bool write_one_page(const Page& page, const Options& opts, std::string* error) {
  const auto writer = make_row_writer(opts.format, stdout, static_cast<size_t>(opts.max_width));
  writer->begin(page);
  for (size_t i = 0; i < page.rows.size(); ++i) writer->row(page, i);
  return finish_page(writer.get(), page, opts, error);
}

// The pager for `sql` in `format`: typed where the format shows BLOBs apart.
Pager pager_for(int32_t handle, const std::string& sql, Format format) {
  return format_needs_types(format) ? Pager::for_typed_statement(handle, sql)
                                    : Pager::for_statement(handle, sql);
}

// Every row from opts.offset on, page by page (the pager halves a page that
// passes the library's cap).
bool print_all(int32_t handle, const std::string& sql, const Options& opts, std::string* error) {
  Pager pager = pager_for(handle, sql, opts.format);
  const auto writer = make_row_writer(opts.format, stdout, static_cast<size_t>(opts.max_width));
  Progress meter(stderr_is_terminal());
  int64_t next = opts.offset;
  long long written = 0;
  bool begun = false;
  Page page;
  for (;;) {
    if (!read_page_for(&pager, opts.format, next, opts.page_size, &page, error)) {
      if (next > INT32_MAX) {
        *error = "more rows than an offset can reach (2147483647); the rest cannot be paged";
      }
      return false;
    }
    if (!write_rows(&pager, opts.page_size, writer.get(), !begun, &page, error)) return false;
    begun = true;
    if (!writer->flush()) {
      *error = "cannot write the output";
      return false;
    }
    written += static_cast<long long>(page.next_offset - page.offset);
    next = page.next_offset;
    meter.update(written);
    if (!page.more) break;
  }
  writer->end();
  if (!writer->flush()) {
    *error = "cannot write the output";
    return false;
  }
  return true;
}

}  // namespace

// See print_rows.h.
void say_more_rows(int64_t next_offset) {
  std::fprintf(stderr, "kestrova-sqlr: more rows follow; the next page starts at --offset %lld\n",
               static_cast<long long>(next_offset));
}

// See print_rows.h.
bool print_rows(int32_t handle, const std::string& sql, const Options& opts, std::string* error) {
  if (opts.all) {
    if (opts.format == Format::kJson || opts.format == Format::kJsonl) {
      return write_all_rows(handle, sql, opts.offset, opts.page_size, stdout, stderr_is_terminal(),
                            error);
    }
    return print_all(handle, sql, opts, error);
  }
  if (opts.format == Format::kJson || opts.format == Format::kPretty) {
    return print_json_page(handle, sql, opts, error);
  }
  Pager pager = pager_for(handle, sql, opts.format);
  Page page;
  if (!read_page_for(&pager, opts.format, opts.offset, opts.limit, &page, error)) return false;
  const auto writer = make_row_writer(opts.format, stdout, static_cast<size_t>(opts.max_width));
  return write_rows(&pager, opts.limit, writer.get(), true, &page, error) &&
         finish_page(writer.get(), page, opts, error);
}

// See print_rows.h.
bool print_page_document(std::string_view json, const Options& opts, std::string* error) {
  if (opts.format == Format::kJson || opts.format == Format::kPretty) {
    return write_document(json, opts.format, error);
  }
  // A page of the tool's own: every string is text.
  Page page;
  page.doc = read_json(json, YYJSON_READ_NUMBER_AS_RAW, error);
  yyjson_val* root = yyjson_doc_get_root(page.doc.get());
  yyjson_val* columns = yyjson_obj_get(root, "columns");
  yyjson_val* rows = yyjson_obj_get(root, "rows");
  if (!yyjson_is_arr(columns) || !yyjson_is_arr(rows)) {
    *error = "cannot lay out the result: " + *error;
    return false;
  }
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(columns, i, n, v)
      page.columns.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
  yyjson_arr_foreach(rows, i, n, v) page.rows.push_back(v);
  page.next_offset = static_cast<int64_t>(page.rows.size());
  return write_one_page(page, opts, error);
}

}  // namespace kestrova::tools::cli
