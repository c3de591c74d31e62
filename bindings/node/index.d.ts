/** A value as the library writes it: INTEGER as number (bigint or string
 * beyond Number's safe range), REAL number, TEXT string, BLOB Base64 string,
 * NULL null. */
export type Value = number | bigint | string | null;
export type Row = Record<string, Value>;
/** A row as its values in column order (rows: 'arrays'): every value stays,
 * also where column names repeat. */
export type RowArray = Value[];

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
  /** Rows fetched per call (1..100000, default 10000). */
  pageSize?: number;
  /** First row (0 or more, default 0). */
  offset?: number;
  /** Rows as objects (default) or arrays, as for query(). */
  rows?: 'objects' | 'arrays';
}

/** A failure reported by the library; `message` is the library's text. */
export class SqlrError extends Error {
  name: 'SqlrError';
}

export class Database {
  constructor(path: string, options?: OpenOptions);
  readonly writable: boolean;
  readonly closed: boolean;
  tables(): string[];
  schema(name: string): Schema;
  query(sql: string, options: QueryOptions & { rows: 'arrays' }): Page<RowArray>;
  query(sql: string, options?: QueryOptions): Page;
  queryJson(sql: string, options?: PageOptions): string;
  rows(sql: string, options: RowsOptions & { rows: 'arrays' }): Generator<RowArray, void, undefined>;
  rows(sql: string, options?: RowsOptions): Generator<Row, void, undefined>;
  exec(sql: string): number;
  close(): void;
}

export interface Library {
  readonly path: string;
}

export function loadLibrary(path?: string): Library;
export const MAX_PAGE_ROWS: 100000;
export const DEFAULT_PAGE_SIZE: 10000;
