// The JSON formats print the library's documents as they come; the others go
// through typed pages (rows.h) and a RowWriter (formats.h).
#include "cli/print_rows.h"

#include <charconv>
#include <cstdio>

#include "cli/all_rows.h"
#include "cli/formats.h"
#include "cli/progress.h"
#include "cli/rows.h"
#include "common/console_io.h"
#include "common/json.h"
#include "common/library.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::cli {
namespace {

// The "returned" count at the end of a page the library wrote, which always
// ends in ,"returned":N}; -1 when it does not.
int64_t returned_of(std::string_view page) {
  constexpr std::string_view kKey = "\"returned\":";
  const size_t at = page.rfind(kKey);
  if (at == page.npos) return -1;
  int64_t n = -1;
  const char* begin = page.data() + at + kKey.size();
  std::from_chars(begin, page.data() + page.size(), n);
  return n;
}

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

// One page as the library writes it; then, when it is full, one call for the
// row after it.
bool print_json_page(int32_t handle, const std::string& sql, const Options& opts,
                     std::string* error) {
  const Result page(sqlr_query(handle, sql.c_str(), opts.offset, opts.limit));
  if (page == nullptr) {
    *error = last_error();
    return false;
  }
  const std::string_view text(page.get());  // measured once: pages run to 100 MB
  if (!write_document(text, opts.format, error)) return false;
  const int64_t next = static_cast<int64_t>(opts.offset) + opts.limit;
  if (opts.limit == 0 || returned_of(text) != opts.limit) return true;
  if (next > INT32_MAX) {
    say_more_rows(next);
    return true;
  }
  bool follows = false;
  if (!row_follows(handle, sql, static_cast<int32_t>(next), &follows, error)) return false;
  if (follows) say_more_rows(next);
  return true;
}

// Writes `page` whole with a new writer for `opts.format`; for the table
// format with its count line.
bool write_one_page(const RowPage& page, const Options& opts, std::string* error) {
  const auto writer = make_row_writer(opts.format, stdout, static_cast<size_t>(opts.max_width));
  writer->begin(page);
  for (size_t i = 0; i < page.rows(); ++i) writer->row(page, i);
  writer->end();
  if (!writer->flush()) {
    *error = "cannot write the output";
    return false;
  }
  if (opts.format == Format::kTable) {
    const size_t count = page.rows();
    std::printf("(%zu row%s", count, count == 1 ? "" : "s");
    if (page.more)
      std::printf("; page full, the next starts at --offset %lld",
                  static_cast<long long>(page.next_offset));
    std::printf(")\n");
  } else if (page.more) {
    say_more_rows(page.next_offset);
  }
  return true;
}

// Every row from opts.offset on, page by page, halving a page that passes the
// library's cap.
bool print_all(int32_t handle, const std::string& sql, const Options& opts, std::string* error) {
  RowSource source(handle, sql, format_needs_types(opts.format));
  const auto writer = make_row_writer(opts.format, stdout, static_cast<size_t>(opts.max_width));
  Progress meter(stderr_is_terminal());
  int32_t page_size = opts.page_size;
  int64_t next = opts.offset;
  long long written = 0;
  bool begun = false;
  RowPage page;
  for (;;) {
    if (!source.read(next, page_size, false, &page, error)) {
      if (*error == SQLR_MSG_RESULT_TOO_LARGE && page_size > 1) {
        page_size /= 2;
        continue;
      }
      return false;
    }
    if (!begun) writer->begin(page);
    begun = true;
    for (size_t i = 0; i < page.rows(); ++i) writer->row(page, i);
    if (!writer->flush()) {
      *error = "cannot write the output";
      return false;
    }
    written += static_cast<long long>(page.rows());
    next = page.next_offset;
    meter.update(written);
    if (page.rows() < static_cast<size_t>(page_size)) break;
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
  RowSource source(handle, sql, format_needs_types(opts.format));
  RowPage page;
  return source.read(opts.offset, opts.limit, true, &page, error) &&
         write_one_page(page, opts, error);
}

// See print_rows.h.
bool print_page_document(std::string_view json, const Options& opts, std::string* error) {
  if (opts.format == Format::kJson || opts.format == Format::kPretty) {
    return write_document(json, opts.format, error);
  }
  RowPage page;
  return page_from_json(json, &page, error) && write_one_page(page, opts, error);
}

}  // namespace kestrova::tools::cli
