#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "run_pitmix.hpp"
#include "tool/wide_text.hpp"

namespace fs = std::filesystem;

namespace {

// Replaces each "{}" in a message with the path.
std::string with_path(std::string text, const std::string& path) {
    for (auto at = text.find("{}"); at != std::string::npos; at = text.find("{}", at + path.size())) {
        text.replace(at, 2, path);
    }
    return text;
}

// A file with the given magic, kind byte and size, every other byte set.
bytes made_file(std::uint32_t magic, std::uint8_t kind, std::size_t size) {
    bytes file(size, 0x5C);
    for (std::size_t i = 0; i < 4 && i < size; ++i) file[i] = static_cast<std::uint8_t>(magic >> (8 * i));
    if (size > 4) file[4] = kind;
    return file;
}

struct success_case {
    const char* sample;
    std::vector<std::string> args;
    std::uint8_t strategy[5];    // file offsets 42 to 46 afterwards; 43 keeps the sample's value 2
    std::uint8_t trailer[4];     // from an independent model of the checksum
    const char* report;          // {} stands for the path
    const char* name = nullptr;  // the copy's path in the folder, if not the sample's name
    const char* twin = nullptr;  // a copy beside it that the run must leave alone
};

// clang-format off
const success_case success_cases[] = {
    {"gp2-setup.bin", {}, {0, 2, 0, 0, 0}, {0xCE, 0x13, 0x7C, 0xD1},
     "GP2 Car Setup file '{}' has been patched to a 0 stop strategy\n"},
    {"gp2-setup.bin", {"50"}, {1, 2, 50, 0, 0}, {0x01, 0x14, 0x7D, 0xB5},
     "GP2 Car Setup file '{}' has been patched to a 1 stop strategy\n"
     "with a pitstop at 50% of the total race distance.\n"},
    {"gp3-setup.bin", {"30", "60"}, {2, 2, 30, 60, 0}, {0x73, 0x16, 0x12, 0x0C},
     "GP3 Car Setup file '{}' has been patched to a 2 stop strategy\n"
     "with pitstops at 30% and 60% of the total race distance.\n"},
    {"gp3-setup.bin", {"25", "50", "75"}, {3, 2, 25, 50, 75}, {0xB0, 0x16, 0x87, 0xE4},
     "GP3 Car Setup file '{}' has been patched to a 3 stop strategy\n"
     "with pitstops at 25%, 50%, and 75% of the total race distance.\n"},
    {"gp3-setup.bin", {" \t+012"}, {1, 2, 12, 0, 0}, {0x24, 0x16, 0x5F, 0x0B},
     "GP3 Car Setup file '{}' has been patched to a 1 stop strategy\n"
     "with a pitstop at 12% of the total race distance.\n"},
    {"gp3-2000-setup.bin", {"255", "-0", "+07"}, {3, 2, 255, 0, 7}, {0x47, 0x16, 0x56, 0x8B},
     "GP3-2000 Car Setup file '{}' has been patched to a 3 stop strategy\n"
     "with pitstops at 255%, 0%, and 7% of the total race distance.\n"},
    {"gp4-setup.bin", {"050", "50%", "abc"}, {3, 2, 50, 50, 0}, {0x96, 0x98, 0x7E, 0x07},
     "GP4 Car Setup file '{}' has been patched to a 3 stop strategy\n"
     "with pitstops at 50%, 50%, and 0% of the total race distance.\n"},
    {"gp4-setup.bin", {"0000000000000000000000000050"}, {1, 2, 50, 0, 0}, {0x62, 0x98, 0x46, 0x86},
     "GP4 Car Setup file '{}' has been patched to a 1 stop strategy\n"
     "with a pitstop at 50% of the total race distance.\n"},
    {"gp4-setup.bin", {"", "100"}, {2, 2, 0, 100, 0}, {0x95, 0x98, 0xA7, 0x86},
     "GP4 Car Setup file '{}' has been patched to a 2 stop strategy\n"
     "with pitstops at 0% and 100% of the total race distance.\n"},
    // Names beyond ASCII open and come back in the report exactly as typed.
    {"gp3-setup.bin", {"25", "50", "75"}, {3, 2, 25, 50, 75}, {0xB0, 0x16, 0x87, 0xE4},
     "GP3 Car Setup file '{}' has been patched to a 3 stop strategy\n"
     "with pitstops at 25%, 50%, and 75% of the total race distance.\n", "Łódź.bin", "Lódz.bin"},
    {"gp2-setup.bin", {"50"}, {1, 2, 50, 0, 0}, {0x01, 0x14, 0x7D, 0xB5},
     "GP2 Car Setup file '{}' has been patched to a 1 stop strategy\n"
     "with a pitstop at 50% of the total race distance.\n", "東京 race.bin"},
    {"gp4-setup.bin", {"", "100"}, {2, 2, 0, 100, 0}, {0x95, 0x98, 0xA7, 0x86},
     "GP4 Car Setup file '{}' has been patched to a 2 stop strategy\n"
     "with pitstops at 0% and 100% of the total race distance.\n", "flag 🏁.bin"},
    {"gp3-2000-setup.bin", {"255", "-0", "+07"}, {3, 2, 255, 0, 7}, {0x47, 0x16, 0x56, 0x8B},
     "GP3-2000 Car Setup file '{}' has been patched to a 3 stop strategy\n"
     "with pitstops at 255%, 0%, and 7% of the total race distance.\n", "Süd Café.bin"},
    {"gp2-setup.bin", {}, {0, 2, 0, 0, 0}, {0xCE, 0x13, 0x7C, 0xD1},
     "GP2 Car Setup file '{}' has been patched to a 0 stop strategy\n", "Mes réglages/Monza.bin"},
    // Twins: the names a code page's best fit would make of these, which
    // must never be opened in their place.
    {"gp3-setup.bin", {"30", "60"}, {2, 2, 30, 60, 0}, {0x73, 0x16, 0x12, 0x0C},
     "GP3 Car Setup file '{}' has been patched to a 2 stop strategy\n"
     "with pitstops at 30% and 60% of the total race distance.\n", "Gdańsk Čakovec!.bin", "Gdansk Cakovec!.bin"},
    {"gp4-setup.bin", {"050", "50%", "abc"}, {3, 2, 50, 50, 0}, {0x96, 0x98, 0x7E, 0x07},
     "GP4 Car Setup file '{}' has been patched to a 3 stop strategy\n"
     "with pitstops at 50%, 50%, and 0% of the total race distance.\n", "Ελλάδα/50% off %PATH% ^&(1).bin"},
};
// clang-format on

TEST(patch_run, patches_the_strategy_and_trailer_and_reports) {
    for (const auto& c : success_cases) {
        temp_folder folder;
        const fs::path path = folder / (c.name != nullptr ? c.name : c.sample);
        fs::create_directories(path.parent_path());
        const bytes before = example(c.sample);
        write_file(path, before);
        if (c.twin != nullptr) write_file(path.parent_path() / c.twin, before);
        std::vector<std::string> args{path.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::Message() << c.sample << " " << testing::PrintToString(c.args));

        bytes expected = before;
        std::copy(std::begin(c.strategy), std::end(c.strategy), expected.begin() + 42);
        std::copy(std::begin(c.trailer), std::end(c.trailer), expected.end() - 4);
        // A second identical run must leave the same bytes and say the same.
        for (int run = 0; run < 2; ++run) {
            const run_result result = run_pitmix(args);
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.banner.rfind("Pitmix v2.0", 0), 0u) << result.banner;
            EXPECT_EQ(result.out, with_path(c.report, path.string()));
            EXPECT_EQ(read_file(path), expected);
            if (c.twin != nullptr) {
                EXPECT_EQ(read_file(path.parent_path() / c.twin), before) << c.twin;
            }
        }
    }
}

TEST(patch_run, puts_a_wrong_trailer_right) {
    // Each sample, given back its own strategy, must come out exactly as shipped.
    const std::pair<const char*, std::vector<std::string>> samples[] = {
        {"gp2-setup.bin", {"50"}},
        {"gp3-setup.bin", {"33", "66"}},
        {"gp3-2000-setup.bin", {"45"}},
        {"gp4-setup.bin", {"24", "50", "76"}},
    };
    for (const auto& [sample, percentages] : samples) {
        temp_folder folder;
        bytes garbled = example(sample);
        std::fill(garbled.end() - 4, garbled.end(), 0xEE);
        write_file(folder / "setup", garbled);
        std::vector<std::string> args{(folder / "setup").string()};
        args.insert(args.end(), percentages.begin(), percentages.end());
        EXPECT_EQ(run_pitmix(args).status, 0) << sample;
        EXPECT_EQ(read_file(folder / "setup"), example(sample)) << sample;
    }
}

TEST(patch_run, takes_the_path_as_typed) {
    temp_folder folder;
    fs::create_directory(folder / "my setups");
    const fs::path file = folder / "my setups" / "race.gp3";
    write_file(file, example("gp3-setup.bin"));
    std::vector<std::string> paths{file.string(), (folder / "my setups" / "." / "race.gp3").string(),
                                   fs::relative(file).string()};
    if (under_launcher()) {
        // Under wine, the Windows form of the same path: drive Z: is the root.
        std::string windows = "Z:" + file.string();
        std::replace(windows.begin(), windows.end(), '/', '\\');
        paths.push_back(windows);
    }
    for (const std::string& path : paths) {
        const run_result result = run_pitmix({path});
        EXPECT_EQ(result.status, 0) << path;
        EXPECT_EQ(result.out, "GP3 Car Setup file '" + path + "' has been patched to a 0 stop strategy\n");
    }
}

struct refusal_case {
    bytes file;  // empty: no file is made
    std::vector<std::string> args;
    const char* message;  // {} stands for the path
};

const bytes gp3_sample = example("gp3-setup.bin");
const std::string usage = "usage: Pitmix <setup file> [perc.#1] [perc.#2] [perc.#3]\n";
const std::string invalid = "Pitmix: invalid percentage (range: 0-255)\n";
const std::string not_gpx = "Pitmix: file {} is not a GPx car setup file\n";

const refusal_case refusal_cases[] = {
    {gp3_sample, {"1", "2", "3", "4"}, usage.c_str()},
    {{}, {"300"}, "Pitmix: cannot open {}\n"},
    {gp3_sample, {"-1"}, invalid.c_str()},
    {gp3_sample, {"256"}, invalid.c_str()},
    {gp3_sample, {"4294967306"}, invalid.c_str()},
    {gp3_sample, {"-4294967296"}, invalid.c_str()},
    {gp3_sample, {"99999999999999999999"}, invalid.c_str()},
    {gp3_sample, {"50", "256"}, invalid.c_str()},
    {gp3_sample, {"256", "junk"}, invalid.c_str()},
    {bytes(10, 0xBE), {"50"}, "Pitmix: error reading file {}: unexpected end of file\n"},
    {made_file(0x853DA1BE, 0x03, 31), {}, "Pitmix: error reading file {}: unexpected end of file\n"},
    {made_file(0xABADFEED, 0x03, 84), {"50"}, not_gpx.c_str()},
    {made_file(0xABADFEED, 0x04, 84), {"50"}, not_gpx.c_str()},
    {made_file(0x853DA1BE, 0x03, 100), {"50"}, not_gpx.c_str()},
    {made_file(0x853DA1BE, 0x03, 91), {"50"}, not_gpx.c_str()},
    {made_file(0xABADFEED, 0x03, 32), {"50"}, not_gpx.c_str()},
    {made_file(0xABADFEED, 0x04, 92), {"50"}, "Pitmix: file {} is not a car setup file\n"},
    {made_file(0x853DA1BE, 0x00, 84), {"50"}, "Pitmix: file {} is not a car setup file\n"},
};

TEST(patch_run, refuses_and_leaves_the_file_untouched) {
    for (const auto& c : refusal_cases) {
        temp_folder folder;
        const fs::path path = folder / "setup.bin";
        if (!c.file.empty()) write_file(path, c.file);
        std::vector<std::string> args{path.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(args));

        const run_result result = run_pitmix(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, with_path(c.message, path.string()));
        EXPECT_EQ(result.banner.rfind("Pitmix v2.0", 0), 0u);
        EXPECT_EQ(result.out, "");
        if (!c.file.empty()) {
            EXPECT_EQ(read_file(path), c.file);
        }
    }
}

TEST(patch_run, refuses_odd_command_lines_and_paths) {
    temp_folder folder;
    fs::create_directory(folder / "dir");
    const std::string dir = (folder / "dir").string();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, usage},
        {{dir}, "Pitmix: cannot open " + dir + "\n"},
        {{""}, "Pitmix: cannot open \n"},
    };
    for (const auto& [args, message] : cases) {
        const run_result result = run_pitmix(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, message);
        EXPECT_EQ(result.out, "");
    }
}

TEST(patch_run, prints_the_banner_before_a_message_on_the_same_stream) {
    const run_result result = run_pitmix({"/nonexistent/setup.bin"}, {"sh", "-c", "exec \"$0\" \"$@\" 2>&1"});
    EXPECT_EQ(result.banner.rfind("Pitmix v2.0", 0), 0u) << result.banner;
    EXPECT_EQ(result.out, "Pitmix: cannot open /nonexistent/setup.bin\n");
}

TEST(patch_run, refuses_a_file_the_user_may_not_write) {
    temp_folder folder;
    const fs::path path = folder / "setup.bin";
    write_file(path, gp3_sample);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    // Root may write anything: run as an ordinary user instead.
    std::vector<std::string> prefix;
    if (geteuid() == 0) {
        fs::permissions(folder / "", fs::perms::owner_all | fs::perms::others_exec);
        prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    const run_result result = run_pitmix({path.string(), "300"}, prefix);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Pitmix: cannot open " + path.string() + "\n");
    EXPECT_EQ(read_file(path), gp3_sample);
}

TEST(patch_run, judges_a_huge_file_by_its_full_size) {
    // 4 GiB + 92 bytes: a 32-bit size would wrap to 92 and pass for GP3.
    temp_folder folder;
    const fs::path path = folder / "huge.bin";
    write_file(path, gp3_sample);
    const std::uintmax_t huge = (std::uintmax_t{1} << 32) + 92;
    fs::resize_file(path, huge);
    const run_result result = run_pitmix({path.string(), "50"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Pitmix: file " + path.string() + " is not a GPx car setup file\n");
    EXPECT_EQ(fs::file_size(path), huge);
    bytes head(gp3_sample.size());
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(head.data()), 92);
    EXPECT_EQ(head, gp3_sample);
}

// Pitmix.exe's conversions between the wide command line and UTF-8.
TEST(wide_text, converts_every_name_and_back_to_the_same_units) {
    const std::pair<std::u16string, std::string> names[] = {
        {u"race.bin", "race.bin"},
        {u"Łódź 東京.bin", "Łódź 東京.bin"},
        {u"flag 🏁", "flag \xF0\x9F\x8F\x81"},
        {u"\xD800", "\xED\xA0\x80"},  // an unpaired surrogate keeps its own bytes
        {u"\xDC00"
         "a\xD83C",
         "\xED\xB0\x80"
         "a\xED\xA0\xBC"},
        {u"\xFFFF\x7F\x80", "\xEF\xBF\xBF\x7F\xC2\x80"},
    };
    for (const auto& [wide, utf8] : names) {
        std::string out(wide.size() * 3, '\0');
        out.resize(static_cast<std::size_t>(utf8_from_utf16(wide.data(), wide.size(), out.data()) - out.data()));
        EXPECT_EQ(out, utf8);
        std::u16string back(utf8.size(), u'\0');
        back.resize(static_cast<std::size_t>(utf16_from_utf8(utf8.data(), utf8.size(), back.data()) - back.data()));
        EXPECT_EQ(back, wide) << utf8;
    }
    // Bytes that are not UTF-8 show as the replacement character, one a byte.
    const std::pair<std::string, std::u16string> broken[] = {
        {"\xC0\xAF", u"\xFFFD\xFFFD"},  // a longer form than needed
        {"a\xE2\x82", u"a\xFFFD\xFFFD"},
        {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},  // beyond U+10FFFF
        {"\xF8\x88\x80\x80\x80", std::u16string(5, u'\xFFFD')},
    };
    for (const auto& [utf8, wide] : broken) {
        std::u16string out(utf8.size(), u'\0');
        out.resize(static_cast<std::size_t>(utf16_from_utf8(utf8.data(), utf8.size(), out.data()) - out.data()));
        EXPECT_EQ(out, wide);
    }
}

}  // namespace
