// kestrova-sqlr: the library's eight functions from a shell, a tool server
// for assistants and a data browser. A host like any other: it sees only the
// public header and the shared library.
#include <cstdio>
#include <exception>

#include "cli/cli.h"
#include "common/console_io.h"

namespace {

// Prints "kestrova-sqlr: `message`" on stderr and returns the failure status.
int fail(const char* message) {
  std::fprintf(stderr, "kestrova-sqlr: %s\n", message);
  return 1;
}

}  // namespace

// Exit status: 0 done, 1 failed, 2 usage error. No exception leaves.
int main(int argc, char** argv) {
  const kestrova::tools::Utf8Console console;
  try {
    return kestrova::tools::cli::run(argc, argv);
  } catch (const std::exception& e) {
    return fail(e.what());
  } catch (...) {
    return fail("unexpected failure");
  }
}
