#include "setup_file.hpp"

namespace {

std::uint32_t read_u32_le(const std::uint8_t* bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < sizeof value; ++i) {
        value |= static_cast<std::uint32_t>(bytes[i]) << (bits_per_byte * i);
    }
    return value;
}

}  // namespace

setup_identity identify_setup(const std::uint8_t* header, std::int64_t file_size) {
    const std::uint32_t magic = read_u32_le(header + magic_offset);
    setup_identity identity{setup_verdict::not_gpx_file, setup_edition::gp2, false};

    // The magic and the size together decide the edition.
    if (magic == gp2_gp3_magic && file_size == gp2_file_size) {
        identity.edition = setup_edition::gp2;
    } else if (magic == gp2_gp3_magic && file_size == gp3_gp4_file_size) {
        identity.edition = setup_edition::gp3;
    } else if (magic == gp4_magic && file_size == gp3_gp4_file_size) {
        identity.edition = setup_edition::gp4;
    } else {
        return identity;
    }

    // Only a file of a known edition is asked what kind it is.
    const std::uint8_t kind = header[kind_offset];
    if ((kind & kind_mask) != kind_car_setup) {
        identity.verdict = setup_verdict::not_car_setup;
        return identity;
    }
    identity.verdict = setup_verdict::car_setup;
    identity.variant_2000 = identity.edition == setup_edition::gp3 && (kind & kind_variant_2000) != 0;
    return identity;
}

void apply_strategy(std::uint8_t* body, const pit_strategy& strategy) {
    body[stop_count_offset] = strategy.stop_count;
    for (std::size_t stop = 0; stop < max_stops; ++stop) {
        body[percentages_offset + stop] = stop < strategy.stop_count ? strategy.percentages[stop] : 0;
    }
}

pit_strategy read_strategy(const std::uint8_t* body) {
    pit_strategy strategy{body[stop_count_offset], {}};
    for (std::size_t stop = 0; stop < max_stops; ++stop) {
        strategy.percentages[stop] = body[percentages_offset + stop];
    }
    return strategy;
}
