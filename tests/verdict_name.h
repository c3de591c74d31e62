// The statement gate's verdicts by name, for the messages of the gate's tests
// and fuzzer.
#ifndef KESTROVA_SQLR_TESTS_VERDICT_NAME_H_
#define KESTROVA_SQLR_TESTS_VERDICT_NAME_H_

#include "kestrova_sqlr/guard_gate.h"

namespace sqlr_test {

inline const char* verdict_name(int kind) {
  using namespace kestrova::sqlr;
  switch (kind) {
    case SQLR_SQL_REJECT:
      return "REJECT";
    case SQLR_SQL_READ:
      return "READ";
    case SQLR_SQL_UPDATE:
      return "UPDATE";
    case SQLR_SQL_DELETE:
      return "DELETE";
    case SQLR_SQL_EXPLAIN:
      return "EXPLAIN";
    default:
      return "<not a verdict>";
  }
}

}  // namespace sqlr_test

#endif  // KESTROVA_SQLR_TESTS_VERDICT_NAME_H_
