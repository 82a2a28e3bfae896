#include "patch_run.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Large enough for the banner and the report, or the banner and a message.
constexpr std::size_t console_buffer_size = 4096;

// The console's output code page before the run, put back at exit.
UINT console_code_page = 0;

void restore_console_code_page() {
    // What is still buffered must reach the console in the run's code page.
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    (void)SetConsoleOutputCP(console_code_page);
}

// A text-mode stream on a console may decode each byte in the C locale,
// which knows nothing of UTF-8 (wine's C runtime does so), and an unbuffered
// one may split a character between two writes. In binary mode with a
// buffer, the bytes reach the console as written and whole; the console
// starts a new line at a bare LF by itself. Redirected streams keep text
// mode. Returns whether the stream is a console.
bool pass_bytes_to_console(std::FILE* stream, DWORD std_handle) {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(std_handle), &mode) == 0) {
        return false;
    }
    (void)_setmode(_fileno(stream), _O_BINARY);
    (void)std::setvbuf(stream, nullptr, _IOFBF, console_buffer_size);
    return true;
}

// Pitmix's text is in the process code page: UTF-8 under its manifest, the
// system's ANSI code page where Windows ignores the manifest. The path in
// it is passed through byte for byte. A console decodes those bytes in its
// own output code page, so for the run it is switched to the process's.
void show_text_right_on_console() {
    const bool console_out = pass_bytes_to_console(stdout, STD_OUTPUT_HANDLE);
    const bool console_err = pass_bytes_to_console(stderr, STD_ERROR_HANDLE);
    if (!console_out && !console_err) {
        return;
    }
    console_code_page = GetConsoleOutputCP();
    if (console_code_page != GetACP() && SetConsoleOutputCP(GetACP()) != 0) {
        (void)std::atexit(restore_console_code_page);
    }
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    show_text_right_on_console();
#endif
    return run_patch(argc, argv);
}
