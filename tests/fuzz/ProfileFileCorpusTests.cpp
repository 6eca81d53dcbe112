// Runs the fuzz target over its seed corpus and hand-made damaged files in the ordinary suite.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace
{

void Feed(const std::string& input)
{
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

} // namespace

TEST(ProfileFileFuzzCorpus, SeedFilesPass)
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(NORVEX_FUZZ_CORPUS))
    {
        std::ifstream stream(entry.path(), std::ios::binary);
        Feed(std::string(std::istreambuf_iterator<char>(stream), {}));
        ++count;
    }
    EXPECT_GT(count, 3);
}

TEST(ProfileFileFuzzCorpus, RandomJunkPasses)
{
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    const std::string alphabet = "[]=\r\n \t\"'aSettingsViewRatioApplication\xEF\xBB\xBF";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (int round = 0; round < 2000; ++round)
    {
        std::string input(static_cast<std::size_t>(round % 300), '\0');
        for (auto& c : input)
        {
            c = round % 2 ? static_cast<char>(byte(random)) : alphabet[pick(random)];
        }
        Feed(input);
    }
}
