// Layout and recognition of a GP2, GP3 or GP4 car setup file.
//
// A setup file is a small fixed-size record in three regions: a 32-byte
// header, a body of 48 (GP2) or 56 (GP3, GP4) bytes, and a 4-byte checksum
// trailer. All multi-byte values are little-endian. These functions work on
// buffers that the caller owns; they never print, open files or exit.
#pragma once

#include <cstddef>
#include <cstdint>

// Header: the magic, the kind byte and 27 opaque bytes.
constexpr std::size_t header_size = 32;
constexpr std::size_t trailer_size = 4;
// The body lies between header and trailer: file size less these 36 bytes.
constexpr std::size_t frame_size = header_size + trailer_size;

constexpr unsigned bits_per_byte = 8;

constexpr std::size_t magic_offset = 0;
// Magic of GP2 and GP3 files, stored on disk as BE A1 3D 85.
constexpr std::uint32_t gp2_gp3_magic = 0x853DA1BE;
// Magic of GP4 files, stored on disk as ED FE AD AB.
constexpr std::uint32_t gp4_magic = 0xABADFEED;

constexpr std::size_t kind_offset = 4;
// The low six bits of the kind byte say what sort of file this is.
constexpr std::uint8_t kind_mask = 0x3F;
constexpr std::uint8_t kind_car_setup = 3;
// In a GP3 file this bit marks the "-2000" variant; bit 0x80 means nothing.
constexpr std::uint8_t kind_variant_2000 = 0x40;

constexpr std::int64_t gp2_file_size = 84;
constexpr std::int64_t gp3_gp4_file_size = 92;

// Strategy fields, as offsets into the body (file offset less 32). They are
// the same in all three editions.
constexpr std::size_t stop_count_offset = 10;
constexpr std::size_t percentages_offset = 12;
constexpr std::size_t max_stops = 3;

// The edition of a setup file; the value is the number printed after "GP".
enum class setup_edition : std::uint8_t { gp2 = 2, gp3 = 3, gp4 = 4 };

// The planned pit stops: how many, and where each falls in percent of the
// race distance. Percentages beyond the stop count are 0.
struct pit_strategy {
    std::uint8_t stop_count;
    std::uint8_t percentages[max_stops];
};

enum class setup_verdict : std::uint8_t {
    car_setup,      // a car setup file of a known edition
    not_gpx_file,   // magic and size fit no edition
    not_car_setup,  // a known edition, but the kind byte is not a car setup
};

struct setup_identity {
    setup_verdict verdict;
    setup_edition edition;  // meaningful unless not_gpx_file
    bool variant_2000;      // a GP3 "-2000" file
};

// Recognises a file from its first 32 bytes and its whole length. Looks at
// nothing but the magic and the kind byte of the header.
setup_identity identify_setup(const std::uint8_t* header, std::int64_t file_size);

// Writes the stop count and the three percentages into a body held in
// memory; every other byte of the body is left as it is.
void apply_strategy(std::uint8_t* body, const pit_strategy& strategy);

// The strategy a body holds: its stop count and its three percentage bytes
// as they stand, whatever the count says (a damaged file may claim more
// than three stops).
pit_strategy read_strategy(const std::uint8_t* body);
