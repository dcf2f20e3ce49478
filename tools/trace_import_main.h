// The `boardsim import` subcommand (tools/trace_import_main.cpp).
#pragma once

namespace boardsim {

// argv[0] is "import", then the subcommand's words. Returns the exit status: 0, or 2 with one
// line on standard error for a bad command line or a FILE that is no trace or capture.
int run_import(int argc, char** argv);

}  // namespace boardsim
