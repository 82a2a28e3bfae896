// Pitmix on Windows: the command line arrives as UTF-16 and is handed on
// as UTF-8; file names go back to the system as UTF-16, and text for a
// console is written as characters. No code page stands between the name
// typed and the file opened, so every name opens, and only that file.
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "patch_run.hpp"
#include "system_io.hpp"
#include "wide_text.hpp"

namespace {

constexpr const char* press_a_key = "Press any key to close this window.\n";

// The console behind a standard stream, or nullptr when it leads to a
// file, a pipe or nothing.
HANDLE console_of(std::FILE* stream) {
    auto* const handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0 ? handle : nullptr;
}

// Started from Explorer (a double-click, or files dropped onto it), or by
// 'start', Pitmix gets a console window of its own, which closes the
// moment it ends. Under cmd, a batch file or a script it shares theirs,
// or its output goes elsewhere.
bool console_closes_at_exit() {
    DWORD first_process = 0;
    if (GetConsoleProcessList(&first_process, 1) != 1) {
        return false;
    }
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && console_of(stdin) != nullptr &&
           console_of(stdout) != nullptr;
}

// The last thing on the way out, after the file has been closed: the
// window stays until the player has read it.
void wait_for_key() {
    write_text(stdout, press_a_key, std::strlen(press_a_key));
    HANDLE input = console_of(stdin);
    // Keys pressed while Pitmix ran do not count.
    (void)FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    DWORD read = 0;
    while (ReadConsoleInputW(input, &record, 1, &read) != 0 && read == 1) {
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        const bool modifier =
            key.wVirtualKeyCode == VK_SHIFT || key.wVirtualKeyCode == VK_CONTROL || key.wVirtualKeyCode == VK_MENU;
        if (record.EventType == KEY_EVENT && key.bKeyDown != 0 && !modifier) {
            return;
        }
    }
}

}  // namespace

std::FILE* open_for_update(const char* path) {
    const std::size_t length = std::strlen(path);
    auto* const name = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    if (name == nullptr) {
        return nullptr;
    }
    *utf16_from_utf8(path, length, name) = L'\0';
    std::FILE* const stream = _wfopen(name, L"rb+");
    std::free(name);
    return stream;
}

void write_text(std::FILE* stream, const char* text, std::size_t length) {
    HANDLE console = console_of(stream);
    auto* const characters =
        console == nullptr ? nullptr : static_cast<wchar_t*>(std::malloc(length * sizeof(wchar_t)));
    if (characters == nullptr) {
        (void)std::fwrite(text, 1, length, stream);
        return;
    }
    const wchar_t* next = characters;
    const wchar_t* const end = utf16_from_utf8(text, length, characters);
    DWORD written = 0;
    while (next < end && WriteConsoleW(console, next, static_cast<DWORD>(end - next), &written, nullptr) != 0 &&
           written > 0) {
        next += written;
    }
    std::free(characters);
}

// The entry of Pitmix.exe: the arguments as UTF-8, in one block.
int wmain(int argc, wchar_t** wide_argv) {
    std::size_t size = (static_cast<std::size_t>(argc) + 1) * sizeof(char*);
    for (int i = 0; i < argc; ++i) {
        size += std::wcslen(wide_argv[i]) * utf8_bytes_per_unit + 1;
    }
    auto** const argv = static_cast<char**>(std::malloc(size));
    if (argv == nullptr) {
        (void)std::fputs("Pitmix: out of memory\n", stderr);
        return EXIT_FAILURE;
    }
    char* text = reinterpret_cast<char*>(argv + argc + 1);
    for (int i = 0; i < argc; ++i) {
        argv[i] = text;
        text = utf8_from_utf16(wide_argv[i], std::wcslen(wide_argv[i]), text);
        *text++ = '\0';
    }
    argv[argc] = nullptr;
    // Registered before the run's own clean-up, so that it runs after it.
    if (console_closes_at_exit()) {
        (void)std::atexit(wait_for_key);
    }
    return run_patch(argc, argv);
}
