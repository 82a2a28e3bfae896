// The whole run of Pitmix: arguments, the setup file, messages and exit.
#pragma once

// Patches the setup file named in argv[1] with the percentages that follow
// it and prints the report. Returns 0 on success; every failure prints one
// line to standard error and ends the process with status 1.
int run_patch(int argc, char** argv);

// Reads a percentage argument the way atoi reads a number (leading white
// space, an optional sign, decimal digits up to the first other character,
// no digits meaning 0), but never wraps: returns the value if it lies in
// 0 to 255 and -1 for anything outside, however many digits it has.
int read_percentage(const char* text);
