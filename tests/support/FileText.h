#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace Norvex::Testing
{

inline std::string ReadFileText(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

inline void WriteFileText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace Norvex::Testing
