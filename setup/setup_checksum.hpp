// The two 16-bit checksums in the trailer of a car setup file.
//
// Both sums run over every byte before the trailer, in file order: the
// byte sum adds each byte; the rotating sum rotates itself left by three
// bits before adding each byte. GP4 files then add a fixed seal to both.
// All arithmetic is modulo 65536.
#pragma once

#include <cstddef>
#include <cstdint>

#include "setup_file.hpp"

// Both sums are this many bits wide; the rotating sum turns left by
// checksum_rotation bits before each byte is added.
constexpr unsigned checksum_width = 16;
constexpr unsigned checksum_rotation = 3;
// Added to the two sums of a GP4 file once every byte has been folded in.
constexpr std::uint16_t gp4_byte_sum_seal = 0x8065;
constexpr std::uint16_t gp4_rotating_sum_seal = 0x8465;

// Written as the trailer, in this order, each little-endian.
struct setup_checksum {
    std::uint16_t byte_sum;
    std::uint16_t rotating_sum;
};

// Folds length bytes into both sums. Successive calls continue one another,
// so the split of the bytes between calls does not matter. A length of zero
// or less changes nothing.
void checksum_update(setup_checksum& checksum, const std::uint8_t* bytes, std::ptrdiff_t length);

// Applies the edition's seal; call once, after the last update.
void seal_checksum(setup_checksum& checksum, setup_edition edition);

// Lays the two sums out as the 4-byte trailer: the byte sum, then the
// rotating sum, each low byte first.
void store_checksum(const setup_checksum& checksum, std::uint8_t* trailer);

// For a whole setup file held in memory, file_size bytes of the given
// edition: whether its trailer holds the checksum of everything before it,
// and writing that checksum into it.
bool trailer_matches(const std::uint8_t* file, std::size_t file_size, setup_edition edition);
void write_trailer(std::uint8_t* file, std::size_t file_size, setup_edition edition);
