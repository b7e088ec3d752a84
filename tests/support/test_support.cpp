#include "support/test_support.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <sys/wait.h>

namespace trevik::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
    std::random_device rd;
    const auto base = fs::temp_directory_path();
    for (int i = 0; i < 100; ++i) {
        fs::path p = base / ("trevik-test-" + std::to_string(rd()));
        if (fs::create_directory(p)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string Must(const std::string& commandLine) {
    const auto r = RunCommand(commandLine);
    EXPECT_EQ(r.exitCode, 0) << commandLine << "\n" << r.err;
    return r.out;
}

std::string Quote(const std::string& word) {
    std::string q = "'";
    for (char c : word) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

CommandResult RunCommand(const std::string& commandLine) {
    TempDir tmp;
    const std::string outFile = tmp.File("out");
    const std::string errFile = tmp.File("err");
    const std::string line =
        "( " + commandLine + " ) >" + Quote(outFile) + " 2>" + Quote(errFile) + " </dev/null";
    const int status = std::system(line.c_str());
    CommandResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    r.out = slurp(outFile);
    r.err = slurp(errFile);
    return r;
}

CommandResult RunCli(const std::string& cli, const std::string& args) {
    CommandResult r = RunCommand(cli + " " + args);
    if (args.find("--json") != std::string::npos && !r.out.empty()) {
        const auto doc = nlohmann::ordered_json::parse(r.out, nullptr, false);
        EXPECT_FALSE(doc.is_discarded()) << "not JSON: " << args;
        if (!doc.is_discarded()) {
            EXPECT_EQ(doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
                          "\n",
                      r.out)
                << args;
        }
    }
    return r;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool HaveProgram(const std::string& name) {
    return RunCommand("command -v " + Quote(name)).exitCode == 0;
}

imagebuilder::TreeNode SampleTree() {
    using namespace imagebuilder;
    return Dir("",
               {
                   Dir("etc", {File("passwd", "root:x:0:0::/:/sbin/sh\n"),
                               File("hosts", "127.0.0.1 localhost\n")}),
                   Dir("export", {Dir("home", {Dir("alice", {GeneratedFile("big.bin", 300000, 7),
                                                             File("notes.txt", "hello\n"),
                                                             Symlink("latest", "notes.txt")})})}),
                   File("README", "Sample volume\n"),
               });
}

} // namespace trevik::testing
