// UTF-8 to and from UTF-16, the text of Windows' command line, file names
// and console. Pitmix keeps text as UTF-8 and converts only where it meets
// the system.
//
// A Windows file name is any sequence of 16-bit units, an unpaired
// surrogate included. Such a unit becomes its own three-byte sequence and
// comes back as the same unit, so every name converts back to exactly the
// units it came from, and no two names ever become one.
#pragma once

#include <cstddef>
#include <cstdint>

// The most UTF-8 bytes one UTF-16 unit can take (a pair takes four, two each).
constexpr std::size_t utf8_bytes_per_unit = 3;

// A pair of surrogates, high then low, stands for one code point beyond
// the first 65536.
constexpr std::uint32_t high_surrogate_first = 0xD800;
constexpr std::uint32_t low_surrogate_first = 0xDC00;
constexpr std::uint32_t surrogates_end = 0xE000;
constexpr std::uint32_t beyond_16_bits = 0x10000;
constexpr unsigned surrogate_bits = 10;
constexpr std::uint32_t last_code_point = 0x10FFFF;
// Shown for a byte that starts no well-formed UTF-8 sequence.
constexpr std::uint32_t replacement_character = 0xFFFD;

// UTF-8: each byte after the first carries six bits under the marker 10.
constexpr unsigned continuation_bits = 6;
constexpr std::uint32_t continuation_mask = 0x3F;
constexpr std::uint32_t continuation_marker = 0x80;
// The first byte of a sequence of two, three and four bytes.
constexpr std::uint32_t lead_of_2 = 0xC0;
constexpr std::uint32_t lead_of_3 = 0xE0;
constexpr std::uint32_t lead_of_4 = 0xF0;
constexpr std::uint32_t beyond_lead_of_4 = 0xF8;
// The first code point that needs two and three bytes.
constexpr std::uint32_t needs_2 = 0x80;
constexpr std::uint32_t needs_3 = 0x800;

// Writes the count units as UTF-8 to out, which has room for
// utf8_bytes_per_unit bytes a unit; returns the end of what was written.
template <typename Unit>
char* utf8_from_utf16(const Unit* units, std::size_t count, char* out) {
    const auto put = [&out](std::uint32_t value) { *out++ = static_cast<char>(value); };
    const auto continuation = [&put](std::uint32_t code, unsigned shift) {
        put(continuation_marker | ((code >> shift) & continuation_mask));
    };
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t code = units[i];
        const bool high = code >= high_surrogate_first && code < low_surrogate_first;
        if (high && i + 1 < count && units[i + 1] >= low_surrogate_first && units[i + 1] < surrogates_end) {
            code =
                beyond_16_bits + ((code - high_surrogate_first) << surrogate_bits) + (units[++i] - low_surrogate_first);
        }
        if (code < needs_2) {
            put(code);
        } else if (code < needs_3) {
            put(lead_of_2 | code >> continuation_bits);
            continuation(code, 0);
        } else if (code < beyond_16_bits) {
            put(lead_of_3 | code >> (2 * continuation_bits));
            continuation(code, continuation_bits);
            continuation(code, 0);
        } else {
            put(lead_of_4 | code >> (3 * continuation_bits));
            continuation(code, 2 * continuation_bits);
            continuation(code, continuation_bits);
            continuation(code, 0);
        }
    }
    return out;
}

// Writes the length bytes of UTF-8 as UTF-16 to out, which has room for
// one unit a byte; returns the end of what was written. A byte that starts
// no well-formed sequence becomes the replacement character.
template <typename Unit>
Unit* utf16_from_utf8(const char* text, std::size_t length, Unit* out) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        const std::uint32_t lead = bytes[i];
        // How many bytes follow the lead byte, and the least code point
        // that needs them all (a longer form than needed is refused).
        const std::size_t more = lead >= lead_of_4 ? 3 : lead >= lead_of_3 ? 2 : lead >= lead_of_2 ? 1 : 0;
        const std::uint32_t least = more == 3 ? beyond_16_bits : more == 2 ? needs_3 : needs_2;
        std::uint32_t code = more == 0 ? lead : lead & (continuation_mask >> more);
        std::size_t taken = 1;
        while (taken <= more && i + taken < length && (bytes[i + taken] & ~continuation_mask) == continuation_marker) {
            code = code << continuation_bits | (bytes[i + taken] & continuation_mask);
            ++taken;
        }
        const bool ascii = lead < needs_2;
        const bool whole = lead >= lead_of_2 && lead < beyond_lead_of_4 && taken == more + 1 && code >= least;
        if (!(ascii || whole) || code > last_code_point) {
            code = replacement_character;
            taken = 1;
        }
        i += taken;
        if (code >= beyond_16_bits) {
            *out++ = static_cast<Unit>(high_surrogate_first + ((code - beyond_16_bits) >> surrogate_bits));
            *out++ = static_cast<Unit>(low_surrogate_first + ((code - beyond_16_bits) & ((1U << surrogate_bits) - 1)));
        } else {
            *out++ = static_cast<Unit>(code);
        }
    }
    return out;
}
