// The sentence that tells the user what a successful run did.
#pragma once

#include "setup/setup_file.hpp"

// Prints to standard output which edition of setup file was patched, its
// path as typed, and where the stop_count pit stops now fall.
void write_report(setup_edition edition, bool variant_2000, const char* path, int stop_count,
                  const int percentages[max_stops]);
