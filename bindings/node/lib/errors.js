'use strict';
// The one error class every failure of the library, and of a statement's
// parameters, is raised as.

// A failure reported by the library (its message as .message), a use of a
// closed Database, or parameters that do not fit their statement (then
// .kind is 'missing', 'unused', 'needs_mapping' or 'range').
class SqlrError extends Error {
  constructor(message, kind) {
    super(message);
    this.name = 'SqlrError';
    if (kind !== undefined) this.kind = kind;
  }
}

module.exports = { SqlrError };
