// The DLL as a Windows host meets it: linked through its import library only
// (no internals), given UTF-8 paths with Windows separators, and handing back
// strings that cross the module boundary.
#include <gtest/gtest.h>
#include <malloc.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kestrova_sqlite_reader.h"

namespace {

std::wstring widen(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, w.data(), n);
  w.resize(static_cast<size_t>(n) - 1);
  return w;
}

std::string narrow(const std::wstring& w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
  s.resize(static_cast<size_t>(n) - 1);
  return s;
}

// A fresh folder under the user's temporary folder, made and removed through
// the wide (UTF-16) API so that no file name passes through the ANSI code page.
class WideTempDir {
 public:
  WideTempDir() {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) {
      ADD_FAILURE() << "GetTempPathW failed: " << GetLastError();
      return;
    }
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
      std::wstring p = std::wstring(base) + L"sqlr-win-" + std::to_wstring(GetCurrentProcessId()) +
                       L"-" + std::to_wstring(GetTickCount() + attempt);
      if (CreateDirectoryW(p.c_str(), nullptr)) {
        wpath_ = p;
        return;
      }
    }
    ADD_FAILURE() << "cannot create a temporary folder";
  }
  ~WideTempDir() {
    std::error_code ec;
    if (!wpath_.empty()) std::filesystem::remove_all(std::filesystem::path(wpath_), ec);
  }
  WideTempDir(const WideTempDir&) = delete;
  WideTempDir& operator=(const WideTempDir&) = delete;

  // The folder as UTF-8 with backslashes, as GetTempPathW gives it.
  std::string path() const { return narrow(wpath_); }

  // Creates the empty file `name` (UTF-8, relative, backslash-separated; parent
  // folders are made) through CreateFileW. An empty file is a valid database
  // without tables, so the tests need no SQLite of their own.
  void create_empty(const std::string& name) const {
    const std::wstring full = wpath_ + L"\\" + widen(name);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path(), ec);
    HANDLE h = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE)
        << "CreateFileW failed for " << name << ": " << GetLastError();
    CloseHandle(h);
  }

 private:
  std::wstring wpath_;
};

std::string replace_all(std::string s, char from, char to) {
  for (char& c : s)
    if (c == from) c = to;
  return s;
}

// Frees the result with sqlr_free_string when it goes, as a host must.
struct Result {
  explicit Result(char* s) : s(s) {}
  ~Result() { sqlr_free_string(s); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  std::string text() const { return s != nullptr ? std::string(s) : "<null: " + last() + ">"; }
  static std::string last() { return sqlr_last_error(); }
  char* s;
};

// A function's address as an integer, to compare with what GetProcAddress finds.
template <typename Fn>
uintptr_t address(Fn* fn) {
  return reinterpret_cast<uintptr_t>(fn);
}

class OpenHandle {
 public:
  OpenHandle(const std::string& path, int writable) : h_(sqlr_open(path.c_str(), writable)) {}
  ~OpenHandle() {
    if (h_ >= 0) sqlr_close(h_);
  }
  OpenHandle(const OpenHandle&) = delete;
  OpenHandle& operator=(const OpenHandle&) = delete;
  int32_t get() const { return h_; }

 private:
  int32_t h_;
};

TEST(WindowsPaths, ExistingFilesOpenByUtf8PathWithAnySeparator) {
  struct Case {
    const char* name;  // relative to the temporary folder, backslash-separated
    bool forward_slashes;
  };
  const Case cases[] = {
      {"plain.db", false},
      {"dß-日本.db", false},
      {"dß-日本.db", true},
      {"with space.db", false},
      {"Ünïcødé folder\\инь-ян.db", false},
      {"Ünïcødé folder\\инь-ян.db", true},
      {"😀 emoji.db", false},
  };
  WideTempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.forward_slashes) dir.create_empty(c.name);
    std::string path = dir.path() + "\\" + c.name;
    if (c.forward_slashes) path = replace_all(path, '\\', '/');
    for (int writable : {0, 1}) {
      OpenHandle h(path, writable);
      EXPECT_GE(h.get(), 0) << path << ": " << Result::last();
      EXPECT_STREQ(sqlr_last_error(), "");
    }
  }
}

TEST(WindowsPaths, DotDotAndMixedSeparatorsResolve) {
  WideTempDir dir;
  dir.create_empty("日本\\a.db");
  const std::string path = dir.path() + "\\日本/sub\\..\\a.db";
  OpenHandle h(path, 0);
  EXPECT_GE(h.get(), 0) << path << ": " << Result::last();
}

TEST(WindowsPaths, MissingFileIsReportedWithThePathAsGiven) {
  WideTempDir dir;
  const std::string paths[] = {
      dir.path() + "\\missing.db",
      dir.path() + "\\dß-日本-missing.db",
      replace_all(dir.path(), '\\', '/') + "/dß-日本-missing.db",
      dir.path() + "\\no such folder\\x.db",
  };
  for (const std::string& path : paths) {
    for (int writable : {0, 1}) {
      EXPECT_EQ(sqlr_open(path.c_str(), writable), -1) << path;
      EXPECT_EQ(Result::last(),
                "cannot open database: " + path + " (unable to open database file)");
      // Not even a read-write open creates the file.
      EXPECT_EQ(GetFileAttributesW(widen(path).c_str()), INVALID_FILE_ATTRIBUTES) << path;
    }
  }
}

TEST(DllBoundary, ExportsResolveByPlainNameToTheFunctionsLinked) {
  HMODULE dll = GetModuleHandleW(L"kestrova-sqlite-reader.dll");
  ASSERT_NE(dll, nullptr) << "the DLL is not loaded under its own name";
  struct Export {
    const char* name;
    uintptr_t linked;
  };
  const Export exports[] = {
      {"sqlr_open", address(&sqlr_open)},
      {"sqlr_close", address(&sqlr_close)},
      {"sqlr_last_error", address(&sqlr_last_error)},
      {"sqlr_free_string", address(&sqlr_free_string)},
      {"sqlr_tables", address(&sqlr_tables)},
      {"sqlr_schema", address(&sqlr_schema)},
      {"sqlr_query", address(&sqlr_query)},
      {"sqlr_exec", address(&sqlr_exec)},
  };
  for (const Export& e : exports) {
    // What a P/Invoke or LoadLibrary host binds to must be what the import
    // library linked: the test runs the DLL's code, not a copy of it.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(GetProcAddress(dll, e.name)), e.linked) << e.name;
  }
  const char* hidden[] = {"_sqlr_open",         "sqlr_open@8",     "sqlr_set_error",
                          "sqlr_conn_get",      "sqlite3_open_v2", "sqlite3_libversion",
                          "yyjson_mut_doc_new", "DllMain"};
  for (const char* name : hidden) EXPECT_EQ(GetProcAddress(dll, name), nullptr) << name;
}

TEST(DllBoundary, LastErrorIsOneStablePointerUpdatedInPlace) {
  const char* p = sqlr_last_error();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(sqlr_open("", 0), -1);
  EXPECT_EQ(sqlr_last_error(), p);
  EXPECT_STREQ(p, "path is required");
  Result none(sqlr_tables(63));
  EXPECT_EQ(none.s, nullptr);
  EXPECT_EQ(sqlr_last_error(), p);
  EXPECT_STREQ(p, "invalid handle");
  sqlr_close(63);  // never touches the text
  EXPECT_STREQ(p, "invalid handle");
  WideTempDir dir;
  dir.create_empty("ok.db");
  OpenHandle h(dir.path() + "\\ok.db", 0);
  ASSERT_GE(h.get(), 0) << p;
  EXPECT_EQ(sqlr_last_error(), p);
  EXPECT_STREQ(p, "");
}

TEST(DllBoundary, ResultStringsArriveWholeAndGoBackThroughFreeString) {
  WideTempDir dir;
  dir.create_empty("dß-日本.db");
  OpenHandle h(dir.path() + "\\dß-日本.db", 0);
  ASSERT_GE(h.get(), 0) << Result::last();

  {
    Result tables(sqlr_tables(h.get()));
    EXPECT_EQ(tables.text(), "[]");
  }
  {
    Result page(sqlr_query(h.get(), "SELECT 'dß-日本' AS s, x'00ff' AS b, 2.5 AS r", 0, 10));
    EXPECT_EQ(page.text(),
              "{\"columns\":[\"s\",\"b\",\"r\"],\"rows\":[{\"s\":\"dß-日本\",\"b\":\"AP8=\","
              "\"r\":2.5}],\"offset\":0,\"limit\":10,\"returned\":1}");
  }
  {
    // A few hundred kilobytes made in the DLL and read here.
    Result big(sqlr_query(h.get(),
                          "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                          "WHERE x < 50000) SELECT x FROM c",
                          0, -1));
    ASSERT_NE(big.s, nullptr) << Result::last();
    const std::string text = big.text();
    EXPECT_EQ(text.rfind("{\"columns\":[\"x\"],\"rows\":[{\"x\":1},{\"x\":2},", 0), 0u);
    EXPECT_NE(text.find("{\"x\":50000}],\"offset\":0,\"limit\":100000,\"returned\":50000}"),
              std::string::npos);
  }
  // Many strings allocated by the DLL and released through it leave the C
  // runtime's heap consistent; null is accepted too.
  for (int i = 0; i < 500; ++i)
    sqlr_free_string(sqlr_query(h.get(), "SELECT randomblob(300)", 0, 1));
  sqlr_free_string(nullptr);
  EXPECT_EQ(_heapchk(), _HEAPOK);
}

}  // namespace
