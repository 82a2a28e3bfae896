// A second, deliberately plain account of the setup file rules, written
// apart from setup/ so that the fuzz targets check the code against it
// rather than against itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Stops the fuzzer with a message when a property does not hold.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace model {

enum verdict { accepted, not_gpx, not_car_setup };

struct identity {
    verdict verdict;
    int edition;  // 2, 3 or 4 when not not_gpx
    bool variant;
};

inline identity identify(const std::uint8_t* header, long long size) {
    const std::uint32_t magic = header[0] | header[1] << 8 | header[2] << 16 | std::uint32_t{header[3]} << 24;
    int edition = 0;
    if (magic == 0x853DA1BE && size == 84) edition = 2;
    if (magic == 0x853DA1BE && size == 92) edition = 3;
    if (magic == 0xABADFEED && size == 92) edition = 4;
    if (edition == 0) return {not_gpx, 0, false};
    if ((header[4] & 0x3F) != 3) return {not_car_setup, edition, false};
    return {accepted, edition, edition == 3 && (header[4] & 0x40) != 0};
}

// The trailer of bytes[0..size), sealed for the edition.
inline void trailer(const std::uint8_t* bytes, long long size, int edition, std::uint8_t out[4]) {
    unsigned sum = 0, rotating = 0;
    for (long long i = 0; i < size; ++i) {
        sum = (sum + bytes[i]) % 65536;
        rotating = (((rotating * 8) % 65536 | rotating >> 13) + bytes[i]) % 65536;
    }
    if (edition == 4) {
        sum = (sum + 0x8065) % 65536;
        rotating = (rotating + 0x8465) % 65536;
    }
    out[0] = sum & 0xFF, out[1] = sum >> 8, out[2] = rotating & 0xFF, out[3] = rotating >> 8;
}

// A percentage argument as atoi reads it, but saturating instead of
// wrapping; -1 when it is outside 0 to 255.
inline int percentage(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    return value >= 0 && value <= 255 ? static_cast<int>(value) : -1;
}

}  // namespace model
