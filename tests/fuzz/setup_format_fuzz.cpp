// Fuzzes the format functions. Input: 32 header bytes, a little-endian
// 64-bit file size, a stop count and three percentages, two split points,
// then the body.
#include <algorithm>
#include <cstring>
#include <vector>

#include "setup/setup_checksum.hpp"
#include "setup/setup_file.hpp"
#include "setup_model.hpp"

namespace {

constexpr std::size_t size_at = 32, strategy_at = 40, splits_at = 44, body_at = 48;

void check_recognition(const std::uint8_t* data, std::int64_t size) {
    // An exactly sized copy: any read past the header is an ASan report.
    std::vector<std::uint8_t> header(data, data + header_size);
    const setup_identity identity = identify_setup(header.data(), size);
    // And bytes after the header must not sway the verdict.
    std::vector<std::uint8_t> padded(header);
    padded.resize(200, static_cast<std::uint8_t>(data[header_size - 1] ^ 0xFF));
    const setup_identity again = identify_setup(padded.data(), size);
    FUZZ_CHECK(again.verdict == identity.verdict && again.edition == identity.edition &&
               again.variant_2000 == identity.variant_2000);

    const model::identity expected = model::identify(header.data(), size);
    FUZZ_CHECK(static_cast<int>(identity.verdict) == static_cast<int>(expected.verdict));
    if (expected.verdict != model::not_gpx) {
        FUZZ_CHECK(static_cast<int>(identity.edition) == expected.edition);
    }
    if (expected.verdict == model::accepted) {
        FUZZ_CHECK(identity.variant_2000 == expected.variant);
    }
}

void check_strategy(const std::uint8_t* strategy_bytes, const std::uint8_t* body_bytes, std::size_t body_size) {
    if (body_size < percentages_offset + max_stops) return;
    const pit_strategy strategy{static_cast<std::uint8_t>(strategy_bytes[0] % 4),
                                {strategy_bytes[1], strategy_bytes[2], strategy_bytes[3]}};
    std::vector<std::uint8_t> body(body_bytes, body_bytes + body_size);
    apply_strategy(body.data(), strategy);
    for (std::size_t i = 0; i < body_size; ++i) {
        std::uint8_t expected = body_bytes[i];
        if (i == stop_count_offset) expected = strategy.stop_count;
        if (i >= percentages_offset && i < percentages_offset + max_stops) {
            const std::size_t stop = i - percentages_offset;
            expected = stop < strategy.stop_count ? strategy.percentages[stop] : 0;
        }
        FUZZ_CHECK(body[i] == expected);
    }
}

void check_checksum(const std::uint8_t* data, std::size_t size, const std::uint8_t* splits) {
    const std::ptrdiff_t length = static_cast<std::ptrdiff_t>(size);
    std::ptrdiff_t first = (splits[0] | splits[1] << 8) % (length + 1);
    std::ptrdiff_t second = (splits[2] | splits[3] << 8) % (length + 1);
    if (first > second) std::swap(first, second);
    for (const setup_edition edition : {setup_edition::gp2, setup_edition::gp3, setup_edition::gp4}) {
        setup_checksum whole{0, 0}, parts{0, 0};
        checksum_update(whole, data, length);
        checksum_update(parts, data, first);
        checksum_update(parts, data + first, -first);  // changes nothing
        checksum_update(parts, data + first, second - first);
        checksum_update(parts, data + second, length - second);
        FUZZ_CHECK(parts.byte_sum == whole.byte_sum && parts.rotating_sum == whole.rotating_sum);

        seal_checksum(whole, edition);
        std::uint8_t stored[trailer_size], expected[trailer_size];
        store_checksum(whole, stored);
        model::trailer(data, length, static_cast<int>(edition), expected);
        FUZZ_CHECK(std::memcmp(stored, expected, trailer_size) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < body_at) return 0;
    std::uint64_t file_size = 0;
    for (std::size_t i = 0; i < 8; ++i) file_size |= std::uint64_t{data[size_at + i]} << (8 * i);
    check_recognition(data, static_cast<std::int64_t>(file_size));
    check_strategy(data + strategy_at, data + body_at, size - body_at);
    check_checksum(data, size, data + splits_at);
    return 0;
}
