#include "setup_checksum.hpp"

#include <cstring>

namespace {

void store_u16_le(std::uint16_t value, std::uint8_t* bytes) {
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> bits_per_byte);
}

// The sealed checksum of every byte of a whole file before its trailer.
setup_checksum checksum_of_file(const std::uint8_t* file, std::size_t file_size, setup_edition edition) {
    setup_checksum checksum{0, 0};
    checksum_update(checksum, file, static_cast<std::ptrdiff_t>(file_size - trailer_size));
    seal_checksum(checksum, edition);
    return checksum;
}

}  // namespace

void checksum_update(setup_checksum& checksum, const std::uint8_t* bytes, std::ptrdiff_t length) {
    for (std::ptrdiff_t i = 0; i < length; ++i) {
        const unsigned rotating = checksum.rotating_sum;
        const unsigned rotated = (rotating << checksum_rotation) | (rotating >> (checksum_width - checksum_rotation));
        // Narrowing to 16 bits is the modulo 65536 of both sums.
        checksum.byte_sum = static_cast<std::uint16_t>(checksum.byte_sum + bytes[i]);
        checksum.rotating_sum = static_cast<std::uint16_t>(rotated + bytes[i]);
    }
}

void seal_checksum(setup_checksum& checksum, setup_edition edition) {
    if (edition != setup_edition::gp4) {
        return;
    }
    checksum.byte_sum = static_cast<std::uint16_t>(checksum.byte_sum + gp4_byte_sum_seal);
    checksum.rotating_sum = static_cast<std::uint16_t>(checksum.rotating_sum + gp4_rotating_sum_seal);
}

void store_checksum(const setup_checksum& checksum, std::uint8_t* trailer) {
    store_u16_le(checksum.byte_sum, trailer);
    store_u16_le(checksum.rotating_sum, trailer + 2);
}

bool trailer_matches(const std::uint8_t* file, std::size_t file_size, setup_edition edition) {
    std::uint8_t trailer[trailer_size];
    store_checksum(checksum_of_file(file, file_size, edition), trailer);
    return std::memcmp(trailer, file + file_size - trailer_size, trailer_size) == 0;
}

void write_trailer(std::uint8_t* file, std::size_t file_size, setup_edition edition) {
    store_checksum(checksum_of_file(file, file_size, edition), file + file_size - trailer_size);
}
