// Where Pitmix meets the operating system with a file name or a text.
// Inside, paths and messages are UTF-8 text, as the command line gives
// them on Linux. On Windows a small layer (windows_io.cpp) converts at the
// edge: the wide command line in, wide file names and wide console text out.
#pragma once

#include <cstddef>
#include <cstdio>

// Opens an existing file for reading and writing in binary mode; never
// creates or truncates one. Returns nullptr on failure, errno set.
std::FILE* open_for_update(const char* path);

// Writes text to standard output or standard error: on a Windows console
// as characters, whatever the console's code page; elsewhere as its bytes.
void write_text(std::FILE* stream, const char* text, std::size_t length);

#ifndef _WIN32
inline std::FILE* open_for_update(const char* path) {
    return std::fopen(path, "rb+");
}

inline void write_text(std::FILE* stream, const char* text, std::size_t length) {
    (void)std::fwrite(text, 1, length, stream);
}
#endif
