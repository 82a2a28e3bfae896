#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "setup/setup_checksum.hpp"
#include "setup/setup_file.hpp"

namespace {

using enum setup_verdict;
using enum setup_edition;

struct recognition_case {
    std::uint32_t magic;
    std::int64_t size;
    std::uint8_t kind;
    setup_verdict verdict;
    setup_edition edition;  // checked for car setups only
    bool variant;
};

const recognition_case recognition_cases[] = {
    {0x853DA1BE, 84, 0x03, car_setup, gp2, false},
    {0x853DA1BE, 84, 0x43, car_setup, gp2, false},  // the variant bit means nothing to GP2
    {0x853DA1BE, 92, 0x03, car_setup, gp3, false},
    {0x853DA1BE, 92, 0x43, car_setup, gp3, true},
    {0x853DA1BE, 92, 0x83, car_setup, gp3, false},  // bit 0x80 is ignored
    {0x853DA1BE, 92, 0xC3, car_setup, gp3, true},
    {0xABADFEED, 92, 0x03, car_setup, gp4, false},
    {0xABADFEED, 92, 0x43, car_setup, gp4, false},
    {0xABADFEED, 92, 0x04, not_car_setup, gp4, false},
    {0x853DA1BE, 84, 0x02, not_car_setup, gp2, false},
    {0x853DA1BE, 92, 0x3F, not_car_setup, gp3, false},
    // Size and magic are checked before the kind byte.
    {0xABADFEED, 84, 0x03, not_gpx_file, gp2, false},
    {0xABADFEED, 84, 0x04, not_gpx_file, gp2, false},
    {0x853DA1BE, 100, 0x03, not_gpx_file, gp2, false},
    {0xABADFEED, 100, 0x03, not_gpx_file, gp2, false},
    {0x853DA1BE, 0, 0x00, not_gpx_file, gp2, false},
    {0x853DA1BE, -1, 0x03, not_gpx_file, gp2, false},
    {0x853DA1BE, (std::int64_t{1} << 32) + 92, 0x03, not_gpx_file, gp2, false},
    {0x853DA1BE, (std::int64_t{1} << 32) + 84, 0x03, not_gpx_file, gp2, false},
    {0xBEA13D85, 92, 0x03, not_gpx_file, gp2, false},  // magic in the wrong byte order
    {0x00000000, 92, 0x03, not_gpx_file, gp2, false},
};

TEST(identify_setup, follows_the_recognition_table) {
    for (const auto& c : recognition_cases) {
        std::uint8_t header[header_size] = {static_cast<std::uint8_t>(c.magic), static_cast<std::uint8_t>(c.magic >> 8),
                                            static_cast<std::uint8_t>(c.magic >> 16),
                                            static_cast<std::uint8_t>(c.magic >> 24), c.kind};
        const setup_identity identity = identify_setup(header, c.size);
        SCOPED_TRACE(testing::Message() << std::hex << c.magic << std::dec << " size " << c.size << " kind "
                                        << int{c.kind});
        EXPECT_EQ(identity.verdict, c.verdict);
        if (c.verdict == car_setup) {
            EXPECT_EQ(identity.edition, c.edition);
            EXPECT_EQ(identity.variant_2000, c.variant);
        }
    }
}

TEST(apply_strategy, writes_the_four_strategy_bytes_and_nothing_else) {
    struct strategy_case {
        pit_strategy strategy;
        std::uint8_t expected[5];  // body offsets 10 to 14
    };
    const strategy_case cases[] = {
        {{0, {0, 0, 0}}, {0, 0xBB, 0, 0, 0}},     {{1, {50, 0, 0}}, {1, 0xBB, 50, 0, 0}},
        {{2, {30, 60, 0}}, {2, 0xBB, 30, 60, 0}}, {{3, {255, 0, 101}}, {3, 0xBB, 255, 0, 101}},
        {{1, {7, 9, 9}}, {1, 0xBB, 7, 0, 0}},  // stops beyond the count are cleared
    };
    for (const std::size_t size : {48u, 56u}) {
        for (const auto& c : cases) {
            std::vector<std::uint8_t> body(size, 0xBB);
            std::vector<std::uint8_t> expected = body;
            std::copy(std::begin(c.expected), std::end(c.expected), expected.begin() + 10);
            apply_strategy(body.data(), c.strategy);
            EXPECT_EQ(body, expected) << "size " << size << " stops " << int{c.strategy.stop_count};
        }
    }
}

struct checksum_case {
    std::vector<std::uint8_t> data;
    setup_checksum start;
    setup_edition edition;
    setup_checksum expected;
};

const checksum_case checksum_cases[] = {
    {{'a', 'b', 'c'}, {0, 0}, gp2, {0x0126, 0x1BB3}},
    {{'a', 'b', 'c'}, {0, 0}, gp3, {0x0126, 0x1BB3}},
    {{'a', 'b', 'c'}, {0, 0}, gp4, {0x818B, 0xA018}},
    {{0x00}, {0, 0xE000}, gp2, {0, 0x0007}},  // the top three bits come round to the bottom
    {{}, {0x1234, 0x5678}, gp2, {0x1234, 0x5678}},
    {{}, {0xFFFF, 0xFFFF}, gp4, {0x8064, 0x8464}},  // the seal wraps
    {std::vector<std::uint8_t>(300, 0xFF), {0, 0}, gp2, {0x2AD4, 0x9447}},
};

TEST(checksum, matches_known_vectors) {
    for (const auto& c : checksum_cases) {
        setup_checksum sum = c.start;
        checksum_update(sum, c.data.data(), static_cast<std::ptrdiff_t>(c.data.size()));
        seal_checksum(sum, c.edition);
        EXPECT_EQ(sum.byte_sum, c.expected.byte_sum) << c.data.size() << " bytes";
        EXPECT_EQ(sum.rotating_sum, c.expected.rotating_sum) << c.data.size() << " bytes";
    }
}

TEST(checksum, does_not_depend_on_how_the_bytes_are_split) {
    std::vector<std::uint8_t> data(92);
    std::iota(data.begin(), data.end(), 200);  // wraps past 255
    setup_checksum whole{0, 0};
    checksum_update(whole, data.data(), 92);
    for (std::ptrdiff_t split = 0; split <= 92; ++split) {
        setup_checksum parts{0, 0};
        checksum_update(parts, data.data(), split);
        checksum_update(parts, data.data() + split, 0);
        checksum_update(parts, data.data() + split, -5);
        checksum_update(parts, data.data() + split, 92 - split);
        EXPECT_EQ(parts.byte_sum, whole.byte_sum) << "split at " << split;
        EXPECT_EQ(parts.rotating_sum, whole.rotating_sum) << "split at " << split;
    }
}

TEST(checksum, is_stored_little_endian_byte_sum_first) {
    std::uint8_t trailer[trailer_size];
    store_checksum({0x818B, 0xA018}, trailer);
    EXPECT_EQ(std::vector<std::uint8_t>(trailer, trailer + 4), (std::vector<std::uint8_t>{0x8B, 0x81, 0x18, 0xA0}));
}

TEST(read_strategy, takes_the_four_strategy_bytes_as_they_stand) {
    std::vector<std::uint8_t> body(56, 0xBB);
    body[10] = 7;  // a count no strategy can have is reported, not mended
    body[12] = 255, body[13] = 0, body[14] = 101;
    const pit_strategy held = read_strategy(body.data());
    EXPECT_EQ(held.stop_count, 7);
    EXPECT_EQ(std::vector<int>(held.percentages, held.percentages + 3), (std::vector<int>{255, 0, 101}));
}

TEST(trailer, is_written_for_the_whole_file_and_checked_against_it) {
    struct trailer_case {
        std::size_t size;
        setup_edition edition;
        std::uint8_t trailer[trailer_size];  // of the bytes 0, 1, 2, ... before it
    };
    const trailer_case cases[] = {
        {84, gp2, {0x58, 0x0C, 0xAB, 0x6D}},
        {92, gp4, {0x59, 0x8F, 0x8C, 0x2B}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> file(c.size, 0xEE);
        std::iota(file.begin(), file.end() - 4, 0);
        EXPECT_FALSE(trailer_matches(file.data(), c.size, c.edition));
        write_trailer(file.data(), c.size, c.edition);
        EXPECT_EQ(std::vector<std::uint8_t>(file.end() - 4, file.end()),
                  std::vector<std::uint8_t>(std::begin(c.trailer), std::end(c.trailer)));
        EXPECT_TRUE(trailer_matches(file.data(), c.size, c.edition));
        EXPECT_FALSE(trailer_matches(file.data(), c.size, c.edition == gp4 ? gp3 : gp4));  // the seal counts
        file[42] ^= 1;  // any byte before the trailer counts
        EXPECT_FALSE(trailer_matches(file.data(), c.size, c.edition));
    }
}

}  // namespace
