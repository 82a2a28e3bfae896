#include "patch_run.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "setup/setup_checksum.hpp"
#include "setup/setup_file.hpp"
#include "strategy_report.hpp"
#include "system_io.hpp"

namespace {

constexpr const char* banner = "Pitmix v2.0 - writes a pit-stop strategy into a car setup file\n";
constexpr const char* usage = "usage: Pitmix <setup file> [perc.#1] [perc.#2] [perc.#3]\n";
// The program name and the setup file come before the percentages.
constexpr int leading_args = 2;
constexpr int max_args = leading_args + static_cast<int>(max_stops);
constexpr int decimal_base = 10;
// The stream's buffer holds a whole setup file (92 bytes at most), so the
// file is read in one call and written back in one.
constexpr std::size_t stream_buffer_size = 128;

// Held for the whole process and released by release_at_exit, whatever the
// exit path: the open setup file and the buffer holding its body.
std::FILE* setup_stream = nullptr;
std::uint8_t* body_buffer = nullptr;
char stream_buffer[stream_buffer_size];

void release_at_exit() {
    if (setup_stream != nullptr) {
        // Reached with the file still open only on a failure; the user has
        // been told already, and there is nothing more to say.
        (void)std::fclose(setup_stream);
        setup_stream = nullptr;
    }
    std::free(body_buffer);
    body_buffer = nullptr;
}

// Prints one line to standard error and ends the process with status 1.
// The banner still buffered on standard output goes first, so that it
// comes before the message wherever both streams lead.
template <typename... Args>
[[noreturn]] void fail(const char* format, Args... args) {
    (void)std::fflush(stdout);
    const int length = std::snprintf(nullptr, 0, format, args...);
    char* const line = length < 0 ? nullptr : static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (line != nullptr) {
        (void)std::snprintf(line, static_cast<std::size_t>(length) + 1, format, args...);
        write_text(stderr, line, static_cast<std::size_t>(length));
        std::free(line);
    } else {
        (void)std::fprintf(stderr, format, args...);
    }
    std::exit(EXIT_FAILURE);
}

// File positions at full 64-bit width, so that a file of 4 GiB and more can
// never pass for one of 84 or 92 bytes.
int seek_setup(std::int64_t offset, int origin) {
#ifdef _WIN32
    return _fseeki64(setup_stream, offset, origin);
#else
    return fseeko(setup_stream, offset, origin);
#endif
}

std::int64_t tell_setup() {
#ifdef _WIN32
    return _ftelli64(setup_stream);
#else
    return ftello(setup_stream);
#endif
}

void seek_or_fail(std::int64_t offset, int origin, const char* path) {
    if (seek_setup(offset, origin) != 0) {
        fail("Pitmix: seek failed in %s: %s\n", path, std::strerror(errno));
    }
}

// A short read is either a failing stream or simply the end of the file.
const char* read_error_text() {
    return std::ferror(setup_stream) != 0 ? std::strerror(errno) : end_of_file_text;
}

void write_or_fail(const std::uint8_t* bytes, std::size_t size, const char* path) {
    if (std::fwrite(bytes, 1, size, setup_stream) != size) {
        fail("Pitmix: error writing %s: %s\n", path, std::strerror(errno));
    }
}

// Pushes the written bytes to the file and closes it here, where a failure
// can still be reported, rather than in the exit clean-up.
void flush_and_close_or_fail(const char* path) {
    if (std::fflush(setup_stream) != 0) {
        fail("Pitmix: error writing %s: %s\n", path, std::strerror(errno));
    }
    std::FILE* stream = setup_stream;
    setup_stream = nullptr;
    if (std::fclose(stream) != 0) {
        fail("Pitmix: error writing %s: %s\n", path, std::strerror(errno));
    }
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int read_percentage(const char* text) {
    while (is_space(*text)) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') {
        ++text;
    }
    int value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * decimal_base + (*text - '0');
        // Further digits only make it larger.
        if (value > max_percentage) {
            return -1;
        }
    }
    return negative && value != 0 ? -1 : value;
}

int run_patch(int argc, char** argv) {
    // Registration fails only when out of memory; the success path closes
    // the file itself and process exit closes any stream still open.
    (void)std::atexit(release_at_exit);
    write_text(stdout, banner, std::strlen(banner));
    if (argc < leading_args || argc > max_args) {
        fail("%s", usage);
    }

    // The file is opened before any percentage is looked at.
    const char* path = argv[1];
    const int stop_count = argc - leading_args;
    setup_stream = open_for_update(path);
    if (setup_stream == nullptr) {
        fail("Pitmix: cannot open %s\n", path);
    }
    // Should this fail, the stream keeps a buffer of its own choosing.
    (void)std::setvbuf(setup_stream, stream_buffer, _IOFBF, sizeof stream_buffer);

    int percentages[max_stops] = {};
    pit_strategy strategy{static_cast<std::uint8_t>(stop_count), {}};
    for (int stop = 0; stop < stop_count; ++stop) {
        percentages[stop] = read_percentage(argv[leading_args + stop]);
        if (percentages[stop] < 0) {
            fail("Pitmix: %s\n", invalid_percentage_text);
        }
        strategy.percentages[stop] = static_cast<std::uint8_t>(percentages[stop]);
    }

    seek_or_fail(0, SEEK_END, path);
    const std::int64_t file_size = tell_setup();
    seek_or_fail(0, SEEK_SET, path);
    std::uint8_t header[header_size];
    if (std::fread(header, 1, header_size, setup_stream) != header_size) {
        fail("Pitmix: error reading file %s: %s\n", path, read_error_text());
    }

    const setup_identity identity = identify_setup(header, file_size);
    if (identity.verdict == setup_verdict::not_gpx_file) {
        fail("Pitmix: file %s is %s\n", path, not_gpx_file_text);
    }
    if (identity.verdict == setup_verdict::not_car_setup) {
        fail("Pitmix: file %s is %s\n", path, not_car_setup_text);
    }

    // The trailer is never read: it is recomputed from header and body.
    seek_or_fail(header_size, SEEK_SET, path);
    const std::size_t body_size = static_cast<std::size_t>(file_size) - frame_size;
    body_buffer = static_cast<std::uint8_t*>(std::malloc(body_size));
    if (body_buffer == nullptr) {
        fail("Pitmix: error reading %s: %s\n", path, std::strerror(ENOMEM));
    }
    if (std::fread(body_buffer, 1, body_size, setup_stream) != body_size) {
        fail("Pitmix: error reading %s: %s\n", path, read_error_text());
    }

    apply_strategy(body_buffer, strategy);
    setup_checksum checksum{0, 0};
    checksum_update(checksum, header, header_size);
    checksum_update(checksum, body_buffer, static_cast<std::ptrdiff_t>(body_size));
    seal_checksum(checksum, identity.edition);

    // Nothing has been written before this point; from here on a failure
    // can leave the file partly rewritten.
    seek_or_fail(header_size, SEEK_SET, path);
    std::uint8_t trailer[trailer_size];
    store_checksum(checksum, trailer);
    write_or_fail(body_buffer, body_size, path);
    write_or_fail(trailer, 2, path);      // byte sum
    write_or_fail(trailer + 2, 2, path);  // rotating sum
    flush_and_close_or_fail(path);

    write_report(identity.edition, identity.variant_2000, path, stop_count, percentages);
    return 0;
}
