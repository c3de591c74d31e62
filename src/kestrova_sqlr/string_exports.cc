// The two exported functions over the library's strings: the host reads the
// last-error text through sqlr_last_error and gives result strings back
// through sqlr_free_string.
#include <cstdlib>

#include "kestrova_sqlite_reader.h"
#include "kestrova_sqlr/error.h"

extern "C" SQLR_API const char* sqlr_last_error(void) noexcept { return kestrova::sqlr::g_err; }

extern "C" SQLR_API void sqlr_free_string(char* s) noexcept { std::free(s); }
