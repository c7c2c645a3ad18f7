// Replays the fuzz target's seed inputs and every input that once made it fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "reply_fuzz_body.h"

namespace zefa::test {
namespace {

std::vector<std::filesystem::path> Inputs(const char* folder) {
    std::vector<std::filesystem::path> files;
    const auto dir = std::filesystem::path(ZEFA_FUZZ_INPUTS) / folder;
    if (!std::filesystem::exists(dir)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
            files.push_back(entry.path());
        }
    }
    return files;
}

void Replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    SCOPED_TRACE(file.string());
    // The body aborts on a broken invariant; a crash fails the whole test binary.
    EXPECT_EQ(FuzzReplyHandling(bytes.data(), bytes.size()), 0);
}

TEST(ClientFuzzInputs, SeedAndRegressionInputsRunClean) {
    const auto seeds = Inputs("corpus");
    EXPECT_GE(seeds.size(), 10u);
    for (const auto& file : seeds) Replay(file);
    for (const auto& file : Inputs("regressions")) Replay(file);
}

}  // namespace
}  // namespace zefa::test
