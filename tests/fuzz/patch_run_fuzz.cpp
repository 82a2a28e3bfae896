// Fuzzes the whole run: the built Pitmix is run on a temporary file with
// arguments from the input, and the file afterwards is checked against a
// model. Input: an argument-count byte, then one NUL-terminated string per
// percentage, then the file's contents.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "setup_model.hpp"

extern char** environ;

namespace {

using bytes = std::vector<std::uint8_t>;

// A scratch folder for the whole fuzzing session, removed at exit.
char folder_path[] = "/tmp/pitmix-fuzz-XXXXXX";

std::string folder() {
    static const bool made = [] {
        FUZZ_CHECK(mkdtemp(folder_path) != nullptr);
        FUZZ_CHECK(std::atexit([] { std::filesystem::remove_all(folder_path); }) == 0);
        return true;
    }();
    (void)made;
    return folder_path;
}

bytes read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

// Runs Pitmix; returns its exit status and leaves its standard error in err.
int run(const std::vector<std::string>& args, const std::string& err) {
    std::vector<char*> argv{const_cast<char*>(PITMIX_EXE)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The run's memory is checked by AddressSanitizer; its leak check at
    // exit costs most of a run's time and is left to the test suite.
    std::vector<char*> env{const_cast<char*>("ASAN_OPTIONS=detect_leaks=0")};
    for (char** var = environ; *var != nullptr; ++var) {
        if (std::strncmp(*var, "ASAN_OPTIONS=", 13) != 0) env.push_back(*var);
    }
    env.push_back(nullptr);
    pid_t pid = 0;
    FUZZ_CHECK(posix_spawn(&pid, PITMIX_EXE, &actions, nullptr, argv.data(), env.data()) == 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    FUZZ_CHECK(waitpid(pid, &status, 0) == pid);
    FUZZ_CHECK(WIFEXITED(status));
    return WEXITSTATUS(status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // 0: no arguments; 1 to 4: the file and up to three percentages; 5: one too many.
    const std::size_t count = data[0] % 6;
    std::size_t at = 1;
    std::vector<std::string> percentages;
    for (std::size_t i = 1; i < count; ++i) {
        const auto* end = static_cast<const std::uint8_t*>(std::memchr(data + at, 0, size - at));
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - (data + at)) : size - at;
        percentages.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at = std::min(size, at + length + 1);
    }
    const bytes original(data + at, data + size);
    const std::string path = folder() + "/setup.bin", err = folder() + "/stderr";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(original.data()), static_cast<std::streamsize>(original.size()));

    std::vector<std::string> args;
    if (count > 0) args.push_back(path);
    args.insert(args.end(), percentages.begin(), percentages.end());
    const int status = run(args, err);
    const bytes after = read_all(path);
    const bytes message = read_all(err);

    // What the run should have done.
    bool accept = count >= 1 && count <= 4 && original.size() >= 32;
    std::uint8_t strategy[4] = {static_cast<std::uint8_t>(count - 1), 0, 0, 0};
    for (std::size_t i = 0; accept && i < percentages.size(); ++i) {
        const int value = model::percentage(percentages[i].c_str());
        accept = value >= 0;
        strategy[i + 1] = static_cast<std::uint8_t>(value);
    }
    const model::identity identity =
        accept ? model::identify(original.data(), static_cast<long long>(original.size())) : model::identity{};
    accept = accept && identity.verdict == model::accepted;

    if (!accept) {
        FUZZ_CHECK(status == 1);
        FUZZ_CHECK(after == original);
        const std::string text(message.begin(), message.end());
        FUZZ_CHECK(text.starts_with("Pitmix: ") || text.starts_with("usage: "));
        FUZZ_CHECK(text.back() == '\n');
        FUZZ_CHECK(std::count(text.begin(), text.end(), '\n') == 1);
        return 0;
    }
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(message.empty());
    bytes expected = original;
    expected[42] = strategy[0];
    std::copy(strategy + 1, strategy + 4, expected.begin() + 44);
    model::trailer(expected.data(), static_cast<long long>(expected.size()) - 4, identity.edition,
                   expected.data() + expected.size() - 4);
    FUZZ_CHECK(after == expected);
    return 0;
}
