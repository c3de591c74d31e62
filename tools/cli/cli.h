// The command line of kestrova-sqlr: its one entry point.
#ifndef KESTROVA_SQLR_TOOLS_CLI_CLI_H_
#define KESTROVA_SQLR_TOOLS_CLI_CLI_H_

namespace kestrova::tools::cli {

// Runs the whole program for the arguments `argv` (as main receives them):
// parses them, runs the command, the tool server or the data browser, and
// prints what it says. Returns the exit status: 0 done, 1 failed (the reason
// on stderr), 2 a usage error. May throw (std::bad_alloc); main catches.
int run(int argc, char** argv);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_CLI_H_
