// The whole run of Pitmix: arguments, the setup file, messages and exit.
#pragma once

// Why a file is refused, in the words of the messages; the browser page
// says the same.
constexpr const char* not_gpx_file_text = "not a GPx car setup file";
constexpr const char* not_car_setup_text = "not a car setup file";
// Error text for a read that ran out of file without the stream failing.
constexpr const char* end_of_file_text = "unexpected end of file";
constexpr const char* invalid_percentage_text = "invalid percentage (range: 0-255)";
// A percentage is stored in one byte of the file.
constexpr int max_percentage = 255;

// Patches the setup file named in argv[1] with the percentages that follow
// it and prints the report. Returns 0 on success; every failure prints one
// line to standard error and ends the process with status 1.
int run_patch(int argc, char** argv);

// Reads a percentage argument the way atoi reads a number (leading white
// space, an optional sign, decimal digits up to the first other character,
// no digits meaning 0), but never wraps: returns the value if it lies in
// 0 to 255 and -1 for anything outside, however many digits it has.
int read_percentage(const char* text);
