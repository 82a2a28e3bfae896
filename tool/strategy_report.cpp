#include "strategy_report.hpp"

#include <cstring>

namespace {

constexpr int decimal_base = 10;
// Room for the digits and sign of any int.
constexpr std::size_t max_number_length = 12;

void put(const text_sink& sink, const char* text) {
    sink.write(text, std::strlen(text), sink.context);
}

void put_number(const text_sink& sink, int value) {
    char digits[max_number_length];
    char* const end = digits + sizeof digits;
    char* first = end;
    unsigned magnitude = value < 0 ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        *--first = static_cast<char>('0' + magnitude % decimal_base);
        magnitude /= decimal_base;
    } while (magnitude != 0);
    if (value < 0) {
        *--first = '-';
    }
    sink.write(first, static_cast<std::size_t>(end - first), sink.context);
}

}  // namespace

void compose_edition(const text_sink& sink, setup_edition edition, bool variant_2000) {
    put(sink, "GP");
    put_number(sink, static_cast<int>(edition));
    if (variant_2000) {
        put(sink, "-2000");
    }
}

void compose_strategy(const text_sink& sink, int stop_count, const int percentages[max_stops]) {
    put(sink, "a ");
    put_number(sink, stop_count);
    put(sink, " stop strategy\n");
    if (stop_count < 1 || stop_count > static_cast<int>(max_stops)) {
        return;
    }
    put(sink, stop_count == 1 ? "with a pitstop at " : "with pitstops at ");
    // A list of two is joined by "and"; a list of three also takes a comma
    // after each of the first two.
    for (int stop = 0; stop < stop_count; ++stop) {
        const bool last = stop == stop_count - 1;
        if (last && stop_count > 1) {
            put(sink, "and ");
        }
        put_number(sink, percentages[stop]);
        put(sink, last ? "%" : stop_count == 2 ? "% " : "%, ");
    }
    put(sink, " of the total race distance.\n");
}

void compose_report(const text_sink& sink, setup_edition edition, bool variant_2000, const char* path, int stop_count,
                    const int percentages[max_stops]) {
    compose_edition(sink, edition, variant_2000);
    put(sink, " Car Setup file '");
    put(sink, path);
    put(sink, "' has been patched to ");
    compose_strategy(sink, stop_count, percentages);
}
