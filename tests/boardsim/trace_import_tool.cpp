// `boardsim import` as a program of its own, for the capture tests: argv[1...] are its words.
#include "trace_import_main.h"

int main(int argc, char** argv) { return boardsim::run_import(argc, argv); }
