#pragma once

#include "disk_image.h"
#include "ufs_builder.h"

#include <filesystem>
#include <string>
#include <vector>

namespace trevik::testing {

// A fresh temporary folder, removed with its content at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line, capturing stdout and stderr.
CommandResult RunCommand(const std::string& commandLine);

// Runs trevik-cli (at `cli`) with `args`. A JSON document it prints must be byte for byte
// the one nlohmann-json writes for the same values: the streamed output is checked here,
// for every command the tests run.
CommandResult RunCli(const std::string& cli, const std::string& args);

// Runs a shell command line that must succeed (a failure fails the test, with its
// stderr) and returns its stdout.
std::string Must(const std::string& commandLine);

// Quotes a word for the shell.
std::string Quote(const std::string& word);

// True when a program is on PATH (foreign tools the test command installs).
bool HaveProgram(const std::string& name);

// Reads a host file whole (empty when it cannot be read).
std::string Slurp(const std::string& path);

// A small tree with nested folders, files of several sizes and a link.
imagebuilder::TreeNode SampleTree();

} // namespace trevik::testing
