/*
 * kestrova-sqlite-reader: guarded access to SQLite database files through
 * eight C functions whose results are JSON text.
 *
 * Conventions
 * -----------
 * Handles     A database opened with sqlr_open() is named by a small integer
 *             handle, 0 to 63. -1 means that sqlr_open() failed. A handle's
 *             number is reused (lowest first) once it has been closed.
 * Results     sqlr_tables(), sqlr_schema() and sqlr_query() return compact
 *             UTF-8 JSON text on the C heap. The caller owns it and releases it
 *             with sqlr_free_string(), exactly once. A null result means failure.
 * Errors      Every failure returns -1 or null and leaves one message in the
 *             process-wide last-error text (sqlr_last_error()). sqlr_open,
 *             sqlr_tables, sqlr_schema, sqlr_query and sqlr_exec empty that text
 *             on entry, so it is empty after they succeed; sqlr_close,
 *             sqlr_last_error and sqlr_free_string never change it.
 * Statements  sqlr_query() runs one read statement (SELECT, VALUES,
 *             WITH ... SELECT, EXPLAIN); sqlr_exec() runs one UPDATE or DELETE
 *             on a handle opened for writing. Anything else, and any text that
 *             holds a second statement, is refused before SQLite sees it.
 * Guard       The promise holds while a statement runs, not only for its text:
 *             nothing sqlr_query() starts (a pragma function, a view or trigger
 *             stored in the file) may write, on read-only and writable handles
 *             alike, and sqlr_exec() changes rows, never the schema. Full-text
 *             (FTS3, FTS4, FTS5) and R*Tree tables are read and changed like
 *             any other; only the virtual table itself writes its shadow tables
 *             (docs_data, geo_node, ...), and SQLite's own tables (sqlite_*)
 *             are never changed.
 * WAL files   A database in write-ahead-log mode gets its -wal and -shm files
 *             beside it when opened, as SQLite needs them; the database file's
 *             bytes stay unchanged. A handle that only read leaves the log as
 *             it was when closed; one that changed rows folds it into the file.
 * Deadline    Each operation on a handle is interrupted once it has run for 30
 *             seconds; it then fails with "operation timed out after 30 seconds"
 *             and the handle stays usable. The deadline is checked between
 *             steps of SQLite's virtual machine, so a single SQL function call
 *             that runs long ends only when that call returns: LIKE or GLOB
 *             with the longest pattern takes about 1.3 s per megabyte of text.
 *             instr() and replace() search in time linear in their arguments
 *             (a 50 MB text searched for 25 MB about 1.5 s).
 * Threads     Any thread may call any function. Operations on one handle run
 *             one at a time: a second one waits for the first to end, then has
 *             its own 30 seconds. sqlr_close() waits for the operations running
 *             on its handle to end, and from the moment it begins, new ones on
 *             that handle fail with "invalid handle"; so a close on one thread
 *             never pulls the connection from under another. Still, close a
 *             handle only once no thread will use it again: once closed, its
 *             number may be given to the next sqlr_open() at once. The
 *             last-error text is one buffer for the whole process, so with
 *             several threads it may hold another thread's message.
 * Text        Every const char* argument is NUL-terminated UTF-8 owned by the
 *             caller; the library reads it during the call and keeps nothing.
 */
#ifndef KESTROVA_SQLITE_READER_H_
#define KESTROVA_SQLITE_READER_H_

#include <stdint.h>

/* The library's version. The build reads it from here. */
#define SQLR_VERSION_MAJOR 0
#define SQLR_VERSION_MINOR 1
#define SQLR_VERSION_PATCH 0
#define SQLR_VERSION_STRING "0.1.0"

/* Limits a host must know. */
#define SQLR_MAX_HANDLES 64             /* handles are 0 .. SQLR_MAX_HANDLES - 1 */
#define SQLR_MAX_PAGE_ROWS 100000       /* the most rows one sqlr_query() returns */
#define SQLR_MAX_RESULT_BYTES 104857600 /* the longest result text (100 MB) */

/* Bounds on what one statement may make SQLite do. A statement that passes
 * one fails with SQLite's message under the operation's usual prefix:
 * "string or blob too big", "out of memory", "statement too long",
 * "LIKE or GLOB pattern too complex", "too many terms in compound SELECT",
 * "Expression tree is too large (maximum depth 1000)". A text of more than
 * SQLR_MAX_SQL_TOKENS tokens is refused before SQLite compiles it, with "too
 * many tokens in the statement (at most 100000)": SQLite does not look at the
 * deadline while it compiles, and some shapes (a CASE of many arms, a chain of
 * common tables) take time that grows with the square of their length. */
#define SQLR_MAX_ENGINE_MEMORY 805306368 /* all of SQLite's memory, all handles together (768 MiB) */
#define SQLR_MAX_VALUE_BYTES 1000000000   /* the longest TEXT or BLOB, stored or built */
#define SQLR_MAX_SQL_BYTES 1000000000     /* the longest SQL text */
#define SQLR_MAX_SQL_TOKENS 100000        /* the most tokens in one SQL text (a literal is one) */
#define SQLR_MAX_LIKE_PATTERN_BYTES 1000  /* the longest LIKE or GLOB pattern */
#define SQLR_MAX_COMPOUND_SELECTS 500     /* SELECTs joined by UNION, EXCEPT, INTERSECT */
#define SQLR_MAX_EXPR_DEPTH 1000          /* the deepest expression */

/* Messages a host may match in sqlr_last_error(), exactly as the library
 * writes them. Other messages may gain detail between versions; these do not. */
#define SQLR_MSG_INVALID_HANDLE "invalid handle"
#define SQLR_MSG_TIMED_OUT "operation timed out after 30 seconds"
#define SQLR_MSG_RESULT_TOO_LARGE "JSON result exceeds 100MB limit"
#define SQLR_MSG_QUERY_REJECTED "query rejected: only SELECT/EXPLAIN/WITH-SELECT allowed"
#define SQLR_MSG_EXEC_REJECTED "exec rejected: only UPDATE/DELETE allowed"
#define SQLR_MSG_NOT_WRITABLE "database opened read-only; reopen with writable=1 for UPDATE/DELETE"
#define SQLR_MSG_INVALID_TABLE_NAME "invalid table name" /* sqlr_schema's name rule */
/* sqlr_schema of a name the database does not hold: this text, ": " and the
 * name as it was given. */
#define SQLR_MSG_TABLE_NOT_FOUND "table or view not found"

/* SQLR_API marks the exported functions. The library's own build defines
 * SQLR_BUILDING, and on Windows the DLL then exports them; a host that includes
 * this header without it imports them from the DLL. A program that compiles
 * the library's sources into itself, with no DLL, defines SQLR_STATIC: the
 * functions are then neither exported nor imported. */
#if defined(SQLR_STATIC)
#define SQLR_API
#elif defined(_WIN32)
#if defined(SQLR_BUILDING)
#define SQLR_API __declspec(dllexport)
#else
#define SQLR_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define SQLR_API __attribute__((visibility("default")))
#else
#define SQLR_API
#endif

#ifdef __cplusplus
#define SQLR_NOEXCEPT noexcept
extern "C" {
#else
#define SQLR_NOEXCEPT
#endif

/* Opens the existing database file at `path` (UTF-8; never created, never read
 * as a URI), read-only when `writable` is 0 and read-write otherwise. Only a
 * regular file (or a link to one) opens: a directory, FIFO, socket or device
 * fails at once with "cannot open database: <path> (not a regular file)", and
 * a name SQLite would read specially, such as ":memory:", is a missing file.
 * Returns a handle 0..63, or -1 with the reason in the last-error text. */
SQLR_API int32_t sqlr_open(const char* path, int32_t writable) SQLR_NOEXCEPT;

/* Closes `handle`, once the operations running on it have ended; from the
 * moment it is called, new operations on the handle fail. A handle that is not
 * open is ignored, also one whose sqlr_open() is still running and one that
 * another thread is closing. Never changes the last-error text. */
SQLR_API void sqlr_close(int32_t handle) SQLR_NOEXCEPT;

/* Returns the last-error text: never null, empty when there is no message.
 * The pointer is the same on every call and valid for the life of the process;
 * the library owns it: do not free or write it. */
SQLR_API const char* sqlr_last_error(void) SQLR_NOEXCEPT;

/* Releases a string returned by sqlr_tables, sqlr_schema or sqlr_query.
 * Null does nothing. */
SQLR_API void sqlr_free_string(char* s) SQLR_NOEXCEPT;

/* Returns the names of the tables and views of the main schema as a JSON array
 * of strings in byte order, SQLite's internal tables left out:
 *   ["Customers","invoice_items","sales_view"]
 * Caller owns the result (sqlr_free_string); null on failure. */
SQLR_API char* sqlr_tables(int32_t handle) SQLR_NOEXCEPT;

/* Describes one table or view of the main schema:
 *   {"name":"t","type":"table","columns":[{"cid":0,"name":"id","type":"INTEGER",
 *    "notnull":0,"dflt_value":null,"pk":1}]}
 * `table` must be 1..128 bytes of A-Z a-z 0-9 _ $, not starting with a digit,
 * and match the stored name exactly. Caller owns the result; null on failure. */
SQLR_API char* sqlr_schema(int32_t handle, const char* table) SQLR_NOEXCEPT;

/* Runs one read statement and returns one page of its rows:
 *   {"columns":["a"],"rows":[{"a":1}],"offset":0,"limit":100000,"returned":1}
 * `offset` rows are passed over (negative counts as 0); at most `limit` rows
 * are returned (negative or above 100000 counts as 100000). INTEGER and REAL
 * values become numbers, TEXT strings, BLOB Base64 strings, NULL null. A result
 * larger than 100 MB fails. Caller owns the result; null on failure. */
SQLR_API char* sqlr_query(int32_t handle, const char* sql, int32_t offset,
                          int32_t limit) SQLR_NOEXCEPT;

/* Runs one UPDATE or DELETE (optionally introduced by WITH) on a handle opened
 * for writing. Returns the number of rows changed, or -1 on failure. */
SQLR_API int32_t sqlr_exec(int32_t handle, const char* sql) SQLR_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KESTROVA_SQLITE_READER_H_ */
