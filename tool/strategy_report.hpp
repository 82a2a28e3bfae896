// The sentence that tells the user what a successful run did, and the
// pieces of it that also describe a setup file before it is patched.
#pragma once

#include <cstddef>
#include <cstdio>

#include "setup/setup_file.hpp"
#include "system_io.hpp"

// Receives a text piece by piece, in order.
struct text_sink {
    void (*write)(const char* text, std::size_t length, void* context);
    void* context;
};

// The edition as the report names it: GP2, GP3, GP3-2000 or GP4.
void compose_edition(const text_sink& sink, setup_edition edition, bool variant_2000);

// "a N stop strategy" and a line end; then, for 1 to 3 stops, the line that
// says where they fall in the race, with its line end.
void compose_strategy(const text_sink& sink, int stop_count, const int percentages[max_stops]);

// The report: which edition of setup file was patched, its path as typed,
// and the strategy it now holds.
void compose_report(const text_sink& sink, setup_edition edition, bool variant_2000, const char* path, int stop_count,
                    const int percentages[max_stops]);

// The report, on standard output: the user's console or a script's pipe.
// The file has been written by then, and a report that cannot be shown
// changes nothing. (Inline, so that a front end without standard output
// links no stdio.)
inline void write_report(setup_edition edition, bool variant_2000, const char* path, int stop_count,
                         const int percentages[max_stops]) {
    const auto to_stdout = [](const char* text, std::size_t length, void* /*context*/) {
        write_text(stdout, text, length);
    };
    compose_report({to_stdout, nullptr}, edition, variant_2000, path, stop_count, percentages);
}
