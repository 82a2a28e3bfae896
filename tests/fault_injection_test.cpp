// Every system call that touches the setup file is made to fail in turn,
// one call at a time, under strace's fault injection. The run must then
// either succeed with exactly the right bytes (a stream may retry, or never
// need the call) or fail honestly: exit 1, one "Pitmix: " line naming the
// step and the error, no report, and no change to the file before the write.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "run_pitmix.hpp"

namespace {

const std::vector<std::string> percentages = {"25", "50", "75"};

// strace, plus its options. A sanitized build's leak check cannot run
// under ptrace; the other tests cover it.
std::vector<std::string> strace(std::vector<std::string> options) {
    std::vector<std::string> prefix{"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq"};
    prefix.insert(prefix.end(), options.begin(), options.end());
    return prefix;
}

// How often the run makes each system call on the file, from a clean run.
std::map<std::string, int> calls_on_file(const std::string& path, const std::string& log) {
    std::vector<std::string> args{path};
    args.insert(args.end(), percentages.begin(), percentages.end());
    const run_result clean = run_pitmix(args, strace({"-o", log, "-P", path}));
    EXPECT_EQ(clean.status, 0) << clean.err;
    std::map<std::string, int> counts;
    std::ifstream lines(log);
    // Each line: the process id, then the call's name up to its "(".
    for (std::string line; std::getline(lines, line);) {
        std::string pid, call;
        std::istringstream(line) >> pid >> call;
        const auto paren = call.find('(');
        if (paren != std::string::npos && paren > 0) ++counts[call.substr(0, paren)];
    }
    return counts;
}

bool names_a_step(const std::string& message) {
    for (const char* step : {"Pitmix: cannot open ", "Pitmix: seek failed in ", "Pitmix: error reading file ",
                             "Pitmix: error reading ", "Pitmix: error writing "}) {
        if (message.rfind(step, 0) == 0) return true;
    }
    return false;
}

TEST(fault_injection, every_failed_call_on_the_file_is_survived_or_reported) {
    temp_folder folder;
    const std::string path = (folder / "setup.bin").string();
    const bytes original = example("gp3-setup.bin");
    write_file(path, original);
    const auto counts = calls_on_file(path, (folder / "clean.log").string());
    const bytes patched = read_file(path);
    ASSERT_EQ(bytes(patched.end() - 4, patched.end()), (bytes{0xB0, 0x16, 0x87, 0xE4}));
    for (const char* step : {"openat", "read", "write", "close"}) {
        ASSERT_TRUE(counts.contains(step)) << "a clean run made no " << step;
    }

    struct fault {
        std::string injection;
        std::string text;  // what the message must end with
        std::string only;  // the one call it fits, or empty for all
    };
    const fault faults[] = {
        {"error=EIO", ": Input/output error\n", ""},
        {"error=ENOSPC", ": No space left on device\n", "write"},
        {"retval=0", ": unexpected end of file\n", "read"},  // the file seems to end there
    };
    int points = 0;
    for (const auto& [call, count] : counts) {
        for (const auto& [injection, text, only] : faults) {
            if (!only.empty() && only != call) continue;
            for (int when = 1; when <= count; ++when, ++points) {
                write_file(path, original);
                const std::string inject = "inject=" + call + ":" + injection + ":when=" + std::to_string(when);
                std::vector<std::string> args{path};
                args.insert(args.end(), percentages.begin(), percentages.end());
                const run_result result =
                    run_pitmix(args, strace({"-o", "/dev/null", "-P", path, "-e", "trace=" + call, "-e", inject}));
                SCOPED_TRACE(inject);
                if (result.status == 0) {
                    EXPECT_NE(call, "close") << "a failed close was reported as success";
                    EXPECT_EQ(result.err, "");
                    EXPECT_EQ(read_file(path), patched);
                    continue;
                }
                EXPECT_EQ(result.status, 1);
                EXPECT_EQ(result.out, "");
                EXPECT_TRUE(names_a_step(result.err)) << result.err;
                EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
                if (call != "openat") {
                    EXPECT_TRUE(result.err.ends_with(text)) << result.err;
                }
                // Only a failure in writing may leave the file changed.
                if (!result.err.starts_with("Pitmix: error writing ")) {
                    EXPECT_EQ(read_file(path), original);
                }
            }
        }
    }
    std::printf("%d injection points on %zu system calls\n", points, counts.size());
}

}  // namespace
