// The browser's entry to Pitmix: the setup file format and the report of
// the command line, compiled to WebAssembly. The page lends a file's first
// bytes (all of a setup file) and its size through file_bytes, and a name
// through name; each call leaves its answer, as UTF-8 text, in text.
#include <cstdint>
#include <cstring>

#include "setup/setup_checksum.hpp"
#include "setup/setup_file.hpp"
#include "tool/patch_run.hpp"
#include "tool/strategy_report.hpp"

#define PITMIX_EXPORT(name) extern "C" __attribute__((export_name(#name)))

namespace {

// What a call says of a file or a strategy.
enum verdict : int {
    car_setup = 0,
    not_gpx_file = 1,
    not_car_setup = 2,
    end_of_file = 3,  // shorter than the header
    invalid_percentage = 4,
};

// A file name has at most 255 characters, of up to 4 bytes each in UTF-8.
constexpr std::size_t name_capacity = 1024;
constexpr std::size_t text_capacity = 2048;

std::uint8_t file_bytes[gp3_gp4_file_size];
// The strategy the last file inspected holds: its stop count, then its
// three percentages as they stand.
int held_stops[1 + max_stops];
char name[name_capacity + 1];
char text[text_capacity + 1];
std::size_t text_length = 0;

void append(const char* piece, std::size_t length, void* /*context*/) {
    const std::size_t room = text_capacity - text_length;
    const std::size_t taken = length < room ? length : room;
    std::memcpy(text + text_length, piece, taken);
    text_length += taken;
    text[text_length] = '\0';
}

const text_sink to_text{append, nullptr};

void say(const char* words) {
    append(words, std::strlen(words), nullptr);
}

void start_text() {
    text_length = 0;
    text[0] = '\0';
}

// Recognises the file lent in file_bytes; on a refusal, says why.
verdict identify(double size, setup_identity& identity) {
    const auto file_size = static_cast<std::int64_t>(size);
    if (file_size < static_cast<std::int64_t>(header_size)) {
        say(end_of_file_text);
        return end_of_file;
    }
    identity = identify_setup(file_bytes, file_size);
    switch (identity.verdict) {
        case setup_verdict::not_gpx_file:
            say(not_gpx_file_text);
            return not_gpx_file;
        case setup_verdict::not_car_setup:
            say(not_car_setup_text);
            return not_car_setup;
        case setup_verdict::car_setup:
            break;
    }
    return car_setup;
}

}  // namespace

PITMIX_EXPORT(pitmix_file_bytes) std::uint8_t* pitmix_file_bytes() {
    return file_bytes;
}

PITMIX_EXPORT(pitmix_file_capacity) std::size_t pitmix_file_capacity() {
    return sizeof file_bytes;
}

PITMIX_EXPORT(pitmix_name) char* pitmix_name() {
    return name;
}

PITMIX_EXPORT(pitmix_name_capacity) std::size_t pitmix_name_capacity() {
    return name_capacity;
}

PITMIX_EXPORT(pitmix_text) const char* pitmix_text() {
    return text;
}

PITMIX_EXPORT(pitmix_held_stops) const int* pitmix_held_stops() {
    return held_stops;
}

PITMIX_EXPORT(pitmix_max_percentage) int pitmix_max_percentage() {
    return max_percentage;
}

// What the file holds: its edition, whether its checksums are right, and
// its strategy, one to a line (the strategy takes one or two), with the
// strategy's numbers in held_stops; or why it is not a setup file.
PITMIX_EXPORT(pitmix_inspect) int pitmix_inspect(double size) {
    start_text();
    setup_identity identity{};
    const verdict found = identify(size, identity);
    if (found != car_setup) {
        return found;
    }
    const auto file_size = static_cast<std::size_t>(size);
    compose_edition(to_text, identity.edition, identity.variant_2000);
    say(trailer_matches(file_bytes, file_size, identity.edition) ? "\nchecksums correct\n" : "\nchecksums wrong\n");
    const pit_strategy held = read_strategy(file_bytes + header_size);
    const int percentages[max_stops] = {held.percentages[0], held.percentages[1], held.percentages[2]};
    held_stops[0] = held.stop_count;
    std::memcpy(held_stops + 1, percentages, sizeof percentages);
    compose_strategy(to_text, held.stop_count, percentages);
    return car_setup;
}

// Writes the strategy of stop_count stops at the given percentages into the
// setup file in file_bytes, with a new trailer, and leaves the report for
// the file named in name (NUL-terminated); or says why it did not.
PITMIX_EXPORT(pitmix_patch) int pitmix_patch(double size, int stop_count, int first, int second, int third) {
    start_text();
    const int percentages[max_stops] = {first, second, third};
    pit_strategy strategy{};
    if (stop_count < 0 || stop_count > static_cast<int>(max_stops)) {
        say(invalid_percentage_text);
        return invalid_percentage;
    }
    strategy.stop_count = static_cast<std::uint8_t>(stop_count);
    for (int stop = 0; stop < stop_count; ++stop) {
        if (percentages[stop] < 0 || percentages[stop] > max_percentage) {
            say(invalid_percentage_text);
            return invalid_percentage;
        }
        strategy.percentages[stop] = static_cast<std::uint8_t>(percentages[stop]);
    }
    setup_identity identity{};
    const verdict found = identify(size, identity);
    if (found != car_setup) {
        return found;
    }
    const auto file_size = static_cast<std::size_t>(size);
    apply_strategy(file_bytes + header_size, strategy);
    write_trailer(file_bytes, file_size, identity.edition);
    name[name_capacity] = '\0';
    compose_report(to_text, identity.edition, identity.variant_2000, name, stop_count, percentages);
    return car_setup;
}
