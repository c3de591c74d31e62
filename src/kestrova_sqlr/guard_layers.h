// The guard: what keeps sqlr_query from writing and sqlr_exec from doing more
// than change rows. It stands in three layers, each of which holds on its own
// should another be fooled:
//
//  1. Before SQLite (guard_gate): the text alone decides whether it is one read
//     statement, one EXPLAIN, one UPDATE, one DELETE or nothing allowed, and a
//     second statement is refused. sqlr_query and sqlr_exec ask it before they
//     resolve the handle.
//  2. While SQLite compiles and runs (guard_runtime): the connection's
//     query-only mode and an authorizer that judges every action, also those a
//     statement starts while it runs (pragma functions, views and triggers
//     stored in the file). sqlr_open installs it; each Operation switches it
//     for its kind.
//  3. After compiling, before the first step: sqlr_query steps a statement
//     only when SQLite reports that it cannot write, or that it is an EXPLAIN
//     (guard_compiled); sqlr_exec steps one only when the change SQLite
//     compiled at its top level, as layer 2 recorded it, is the one the gate
//     saw.
#ifndef KESTROVA_SQLR_GUARD_LAYERS_H_
#define KESTROVA_SQLR_GUARD_LAYERS_H_

#include "kestrova_sqlr/guard_compiled.h"
#include "kestrova_sqlr/guard_gate.h"
#include "kestrova_sqlr/guard_runtime.h"

#endif  // KESTROVA_SQLR_GUARD_LAYERS_H_
