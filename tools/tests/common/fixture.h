// Databases for the tests of common/: written with SQLite directly, then read
// through the library like any host reads them.
#ifndef KESTROVA_SQLR_TOOLS_TESTS_COMMON_FIXTURE_H_
#define KESTROVA_SQLR_TOOLS_TESTS_COMMON_FIXTURE_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <random>
#include <string>

#include "common/library.h"

namespace kestrova::tools::testing {

// A database file in a folder of its own, removed with the object; `run`
// changes it with SQLite directly, as another program would.
class FixtureDb {
 public:
  explicit FixtureDb(const std::string& sql) {
    std::random_device seed;
    dir_ = std::filesystem::temp_directory_path() /
           ("kestrova-sqlr-common-" + std::to_string(seed()) + std::to_string(seed()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "fixture.db").string();
    run(sql);
  }
  ~FixtureDb() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  FixtureDb(const FixtureDb&) = delete;
  FixtureDb& operator=(const FixtureDb&) = delete;

  // Runs `sql` on the file through a connection of its own.
  void run(const std::string& sql) const {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    const std::string why = message != nullptr ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << why;
  }

  const std::string& path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

}  // namespace kestrova::tools::testing

#endif  // KESTROVA_SQLR_TOOLS_TESTS_COMMON_FIXTURE_H_
