// Runs the built quadhdmi program in a folder of its own, the way a user does.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tooltest {

namespace fs = std::filesystem;

// The tool sits beside the test programs' folder: <build>/tools/quadhdmi.
inline fs::path tool_path() {
    const fs::path self = fs::read_symlink("/proc/self/exe");
    return self.parent_path().parent_path() / "tools" / "quadhdmi";
}

struct ToolRun {
    int code = -1;
    std::string output;  // standard output and error together
};

// A run that has not ended after five minutes is killed (exit code 124): a tool that would run
// forever on some input fails its test instead of hanging the suite. `shell_setup` runs in the
// shell first (limits, for example).
inline ToolRun run(const std::string& arguments, const fs::path& directory, const std::string& shell_setup = "") {
    const std::string command = "cd '" + directory.string() + "' && " + shell_setup + " timeout 300 '" +
                                tool_path().string() + "' " + arguments + " 2>&1";
    ToolRun result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        result.output.append(chunk.data(), n);
    const int status = pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

inline size_t count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

inline std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(tool_path())) << tool_path() << " is not built";
        dir_ = fs::temp_directory_path() / ("quadhdmi-tool-test-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

}  // namespace tooltest
