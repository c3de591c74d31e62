/** A value as the library writes it: INTEGER as number (bigint or string
 * beyond Number's safe range), REAL number, TEXT string, BLOB Base64 string,
 * NULL null. */
export type Value = number | bigint | string | null;
export type Row = Record<string, Value>;
/** A row as its values in column order (rows: 'arrays'): every value stays,
 * also where column names repeat. */
export type RowArray = Value[];

/** A value a statement's parameter takes: null and undefined NULL, boolean
 * 1 or 0, bigint an INTEGER (64-bit, exact), number an INTEGER when it is a
 * whole number that fits 64 bits and a REAL otherwise, string TEXT,
 * Uint8Array (Buffer too) a BLOB. */
export type BindValue = null | undefined | boolean | number | bigint | string | Uint8Array;
/** Values by position for `?` and `?NNN` (an array), or by name (an object
 * or a Map) for `:name`, `@name`, `$name` and `#name` (the key is the name
 * without its sigil; :a, @a and $a all take "a") and for `?NNN` (the key
 * "NNN"). Every parameter needs a value and every value a parameter. */
export type Params = readonly BindValue[] | { readonly [name: string]: BindValue } | ReadonlyMap<string, BindValue>;

export interface Page<R = Row> {
  columns: string[];
  rows: R[];
  offset: number;
  limit: number;
  returned: number;
}

export interface Column {
  cid: number;
  name: string;
  type: string;
  notnull: number;
  dflt_value: string | null;
  pk: number;
}

export interface Schema {
  name: string;
  type: 'table' | 'view';
  columns: Column[];
}

export interface OpenOptions {
  /** Open read-write (default read-only). */
  writable?: boolean;
  /** Path of the shared library; else KESTROVA_SQLR_LIB, a copy inside the
   * package, then the system's search. */
  library?: string;
  /** How integers beyond Number.MAX_SAFE_INTEGER come back (default 'bigint'). */
  bigInt?: 'bigint' | 'string';
}

export interface PageOptions {
  /** Rows to pass over (0 or more, default 0). */
  offset?: number;
  /** Rows to return at most (0..100000, default 100000). */
  limit?: number;
}

export interface QueryOptions extends PageOptions {
  /** Rows as objects keyed by column name (default), or as arrays of values
   * in column order. */
  rows?: 'objects' | 'arrays';
}

export interface RowsOptions {
  /** Rows per page (1..100000, default 10000); each call asks for one row
   * beyond the page, 100000 in all at most. */
  pageSize?: number;
  /** First row (0 or more, default 0). */
  offset?: number;
  /** Rows as objects (default) or arrays, as for query(). */
  rows?: 'objects' | 'arrays';
}

/** A failure reported by the library (`message` is the library's text), or
 * parameters that do not fit their statement (then `kind` says how). */
export class SqlrError extends Error {
  name: 'SqlrError';
  kind?: 'missing' | 'unused' | 'needs_mapping' | 'range';
}

export class Database {
  constructor(path: string, options?: OpenOptions);
  readonly writable: boolean;
  readonly closed: boolean;
  tables(): string[];
  schema(name: string): Schema;
  /* query, queryJson, iterate and rows take (sql), (sql, options),
   * (sql, params) or (sql, params, options). With two arguments an array or a
   * Map is the params; a plain object is the params when the statement holds
   * parameters and the options when it holds none (so query(sql, { offset: 5
   * }) pages as before, and query('... :offset', { offset: 5 }) binds). */
  query(sql: string, options: QueryOptions & { rows: 'arrays' }): Page<RowArray>;
  query(sql: string, options?: QueryOptions): Page;
  query(sql: string, params: Params | undefined, options: QueryOptions & { rows: 'arrays' }): Page<RowArray>;
  query(sql: string, params: Params | undefined, options?: QueryOptions): Page;
  queryJson(sql: string, options?: PageOptions): string;
  queryJson(sql: string, params: Params | undefined, options?: PageOptions): string;
  /** Every row of the statement, read page by page as the iteration goes
   * (offset paging; give it an ORDER BY for a stable order). */
  iterate(sql: string, options: RowsOptions & { rows: 'arrays' }): Generator<RowArray, void, undefined>;
  iterate(sql: string, options?: RowsOptions): Generator<Row, void, undefined>;
  iterate(sql: string, params: Params | undefined, options: RowsOptions & { rows: 'arrays' }): Generator<RowArray, void, undefined>;
  iterate(sql: string, params: Params | undefined, options?: RowsOptions): Generator<Row, void, undefined>;
  /** iterate() under its earlier name. */
  rows(sql: string, options: RowsOptions & { rows: 'arrays' }): Generator<RowArray, void, undefined>;
  rows(sql: string, options?: RowsOptions): Generator<Row, void, undefined>;
  rows(sql: string, params: Params | undefined, options: RowsOptions & { rows: 'arrays' }): Generator<RowArray, void, undefined>;
  rows(sql: string, params: Params | undefined, options?: RowsOptions): Generator<Row, void, undefined>;
  /** Runs one UPDATE or DELETE; returns the number of rows changed. */
  exec(sql: string, params?: Params): number;
  /** Closes the database. One that is dropped unclosed is closed once the
   * collector takes it, but close() gives its handle back at once. */
  close(): void;
}

export interface Library {
  readonly path: string;
}

export function loadLibrary(path?: string): Library;
export const MAX_PAGE_ROWS: 100000;
export const DEFAULT_PAGE_SIZE: 10000;
