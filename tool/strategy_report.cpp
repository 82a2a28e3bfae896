#include "strategy_report.hpp"

#include <cstdio>

// Standard output is the user's console or a script's pipe; the file has
// been written by now, and a report that cannot be shown changes nothing.
void write_report(setup_edition edition, bool variant_2000, const char* path, int stop_count,
                  const int percentages[max_stops]) {
    (void)std::printf("GP%d%s Car Setup file '%s' has been patched to a %d stop strategy\n", static_cast<int>(edition),
                      variant_2000 ? "-2000" : "", path, stop_count);
    if (stop_count == 0) {
        return;
    }
    (void)std::fputs(stop_count == 1 ? "with a pitstop at " : "with pitstops at ", stdout);
    // A list of three takes a comma after each of the first two.
    for (int stop = 0; stop < stop_count; ++stop) {
        const bool last = stop == stop_count - 1;
        const char* fragment = stop_count == 1 ? "%d%%" : last ? "and %d%%" : stop_count == 2 ? "%d%% " : "%d%%, ";
        (void)std::printf(fragment, percentages[stop]);
    }
    (void)std::fputs(" of the total race distance.\n", stdout);
}
