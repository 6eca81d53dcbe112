#pragma once

#include "Wmv3Tables.h"

#include <cstdint>
#include <vector>

namespace VistelCapture
{

// Appends bits to a packet, most significant first, with no alignment until Finish.
class Wmv3BitWriter
{
public:
    explicit Wmv3BitWriter(std::vector<std::uint8_t>& output) : output(output) {}

    // At most 32 bits at a time.
    void Put(std::uint32_t bits, int count)
    {
        accumulator = (accumulator << count) | (bits & ((std::uint64_t(1) << count) - 1));
        pending += count;
        written += count;
        while (pending >= 8)
        {
            pending -= 8;
            output.push_back(static_cast<std::uint8_t>(accumulator >> pending));
        }
    }
    void Put(const Wmv3Tables::Code& code) { Put(code.bits, code.length); }

    // Zero bits up to the next byte.
    void Finish()
    {
        if (pending > 0)
        {
            output.push_back(static_cast<std::uint8_t>(accumulator << (8 - pending)));
            pending = 0;
        }
    }
    std::int64_t Written() const noexcept { return written; }

private:
    std::vector<std::uint8_t>& output;
    std::uint64_t accumulator = 0;
    int pending = 0;
    std::int64_t written = 0;
};

} // namespace VistelCapture
