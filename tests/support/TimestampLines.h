#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace Norvex::Testing
{

// The lines of a recording's time-stamp file after its header, each split at its commas (the
// file names in it hold none); empty when there is no file. A line cut short by a kill shows up
// as one with fewer fields than the header.
struct TimestampLines
{
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> lines;

    explicit TimestampLines(const std::filesystem::path& file)
    {
        std::ifstream stream(file);
        std::string text;
        for (bool first = true; std::getline(stream, text); first = false)
        {
            std::vector<std::string> fields;
            std::istringstream parts(text);
            for (std::string field; std::getline(parts, field, ',');)
            {
                fields.push_back(field);
            }
            if (!text.empty() && text.back() == ',')
            {
                fields.emplace_back();
            }
            (first ? header : lines.emplace_back()) = std::move(fields);
        }
    }

    // The field named `column` of every line.
    std::vector<std::string> Column(const std::string& column) const
    {
        std::size_t at = 0;
        while (at < header.size() && header[at] != column)
        {
            ++at;
        }
        std::vector<std::string> values;
        for (const auto& line : lines)
        {
            values.push_back(at < line.size() ? line[at] : std::string("<missing>"));
        }
        return values;
    }
};

} // namespace Norvex::Testing
