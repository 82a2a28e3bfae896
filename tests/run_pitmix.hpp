// Runs the built Pitmix as a separate process, on files in a throw-away
// folder, and captures what a user would see.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using bytes = std::vector<std::uint8_t>;

struct run_result {
    int status;       // exit status, or -1 if the process did not exit normally
    std::string out;  // standard output with the banner line removed
    std::string err;  // standard error
    std::string banner;
};

// Runs Pitmix with these arguments (program name excluded). An optional
// command prefix (for instance strace) goes before the executable.
run_result run_pitmix(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {});

// True when the executable runs through a launcher such as wine.
bool under_launcher();

bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const bytes& contents);
bytes example(const std::string& name);

// A fresh folder under the system's temporary directory, removed at the end.
class temp_folder {
  public:
    temp_folder();
    ~temp_folder();
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;
    std::filesystem::path operator/(const std::string& name) const {
        return path_ / name;
    }

  private:
    std::filesystem::path path_;
};
