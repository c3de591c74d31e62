/* A host program in C against the installed library: opens the database file
 * named on the command line, runs one query and checks what comes back. */
#include <kestrova_sqlite_reader.h>
#include <stdio.h>
#include <string.h>

static int fail(const char* what, const char* got) {
  fprintf(stderr, "consumer: %s: %s\n", what, got != NULL ? got : "(null)");
  return 1;
}

int main(int argc, char** argv) {
  const char* expected =
      "{\"columns\":[\"one\"],\"rows\":[{\"one\":1}],\"offset\":0,"
      "\"limit\":5,\"returned\":1}";
  int32_t h;
  char* page;
  int ok;

  if (argc != 2) return fail("usage", "consumer DATABASE");
  if (sqlr_open("/nonexistent-kestrova/x.db", 0) != -1) return fail("open", "missing file opened");
  if (strcmp(sqlr_last_error(),
             "cannot open database: /nonexistent-kestrova/x.db (unable to open database file)") !=
      0)
    return fail("last error", sqlr_last_error());

  h = sqlr_open(argv[1], 0);
  if (h < 0) return fail("open", sqlr_last_error());
  page = sqlr_query(h, "SELECT 1 AS one", 0, 5);
  if (page == NULL) return fail("query", sqlr_last_error());
  ok = strcmp(page, expected) == 0;
  if (!ok) fail("query result", page);
  sqlr_free_string(page);
  sqlr_close(h);
  if (!ok) return 1;
  printf("consumer: %s opened and queried through the installed library\n", argv[1]);
  return 0;
}
