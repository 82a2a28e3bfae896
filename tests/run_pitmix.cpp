#include "run_pitmix.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

std::string drain(int fd) {
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

// The executable under test: the one built beside the tests unless
// PITMIX_EXE names another, run through PITMIX_LAUNCHER (wine, for
// Pitmix.exe) when that is set.
const char* setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// Windows writes its console lines with CR LF.
void drop_carriage_returns(std::string& text) {
    for (auto at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
}

}  // namespace

bool under_launcher() {
    return *setting("PITMIX_LAUNCHER", "") != '\0';
}

run_result run_pitmix(const std::vector<std::string>& args, const std::vector<std::string>& prefix) {
    std::vector<std::string> words = prefix;
    if (under_launcher()) words.emplace_back(setting("PITMIX_LAUNCHER", ""));
    words.emplace_back(setting("PITMIX_EXE", PITMIX_EXE));
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]), close(err[1]);
    // Both outputs are a few lines, far below a pipe's capacity.
    run_result result{-1, drain(out[0]), drain(err[0]), ""};
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (under_launcher()) {
        drop_carriage_returns(result.out);
        drop_carriage_returns(result.err);
    }
    const auto end_of_banner = result.out.find('\n');
    if (end_of_banner != std::string::npos) {
        result.banner = result.out.substr(0, end_of_banner + 1);
        result.out.erase(0, end_of_banner + 1);
    }
    return result;
}

bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::filesystem::path& path, const bytes& contents) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
}

bytes example(const std::string& name) {
    return read_file(std::filesystem::path(PITMIX_EXAMPLES) / name);
}

temp_folder::temp_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pitmix-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

temp_folder::~temp_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}
