// What the command-line tests share: reading a file whole, quoting for the shell, a fresh
// folder under /tmp, and running a command with its output caught in files there.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cli_test {

namespace fs = std::filesystem;

inline std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Single-quoted for sh, with any quote inside spelled '\''.
inline std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A new folder /tmp/sollux-NAME-XXXXXX; empty when none could be made.
inline fs::path makeTempFolder(const std::string& name) {
    std::string pattern = "/tmp/sollux-" + name + "-XXXXXX";
    return mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
}

struct Result {
    int status = -1;  // the exit status; -1 when it did not exit
    std::string out, err;
};

// Runs `program` (already quoted as needed) with args, its standard output and error
// written to files in `folder`, and reads them back.
inline Result run(const std::string& program, const std::vector<std::string>& args, const fs::path& folder) {
    std::string command = program;
    for (const auto& a : args) command += " " + quote(a);
    command += " >" + quote((folder / "stdout").string()) + " 2>" + quote((folder / "stderr").string());
    const int status = std::system(command.c_str());
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readAll(folder / "stdout");
    r.err = readAll(folder / "stderr");
    return r;
}

}  // namespace cli_test
