#include "kestrova_sqlr/guard_compiled.h"

namespace kestrova::sqlr {

bool sqlr_stmt_is_read(sqlite3_stmt* stmt) noexcept {
  if (sqlite3_stmt_isexplain(stmt) != 0) return true;
  return sqlite3_stmt_readonly(stmt) != 0 && sqlite3_column_count(stmt) > 0;
}

}  // namespace kestrova::sqlr
