// The tool reports the version the driver image and its INF carry: the first line of VERSION.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

TEST(ToolVersion, PrintsTheVersionFileAndExitsWithoutASubcommand) {
    std::ifstream file(std::string(QH_SOURCE_DIR) + "/VERSION");
    std::string version;
    ASSERT_TRUE(std::getline(file, version));
    const auto tool =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "quadhdmi";
    std::string command = "'";
    command += tool.string();
    command += "' --version 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[256];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, n);
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_EQ(output, "quadhdmi " + version + "\n");
}

}  // namespace
