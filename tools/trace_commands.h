// `boardsim decode FILE` and `boardsim compare [--timing TOLERANCE] GOLDEN NEW`: their command
// lines, files and output. Each returns the exit status (2: bad input, one line on stderr).
#pragma once

namespace boardsim {

int decode_command(int argc, char** argv);   // argv[0] is "decode"
int compare_command(int argc, char** argv);  // argv[0] is "compare"

}  // namespace boardsim
