#include "Wmv3EntropyCoder.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace VistelCapture
{
namespace
{

namespace Tables = Wmv3Tables;

// Where the codes of one AC coding set are, by (last, run, level).
struct AcSetIndex
{
    std::array<std::array<std::uint8_t, 64>, 2> maxLevel{};   // [last][run], 0 = no code
    std::array<std::array<std::int8_t, 64>, 2> maxRun{};      // [last][level], -1 = no code
    std::array<std::array<std::uint16_t, 64>, 2> firstCode{}; // [last][run]: index of level 1
    std::vector<std::uint8_t> codeByLevel;                    // from firstCode + level - 1
    Tables::Code escape{};
    std::span<const Tables::AcCode> codes;

    explicit AcSetIndex(std::span<const Tables::AcCode> set) : codes(set)
    {
        for (auto& runs : maxRun)
        {
            runs.fill(-1);
        }
        const std::size_t count = set.size() - 1;
        for (std::size_t i = 0; i < count; ++i)
        {
            const auto& code = set[i];
            maxLevel[code.last][code.run] = std::max(maxLevel[code.last][code.run], code.level);
            maxRun[code.last][code.level] =
                std::max<std::int8_t>(maxRun[code.last][code.level], static_cast<std::int8_t>(code.run));
        }
        for (int last = 0; last < 2; ++last)
        {
            for (int run = 0; run < 64; ++run)
            {
                firstCode[last][run] = static_cast<std::uint16_t>(codeByLevel.size());
                codeByLevel.resize(codeByLevel.size() + maxLevel[last][run]);
            }
        }
        for (std::size_t i = 0; i < count; ++i)
        {
            const auto& code = set[i];
            codeByLevel[firstCode[code.last][code.run] + code.level - 1] = static_cast<std::uint8_t>(i);
        }
        escape = {set[count].bits, set[count].length};
    }

    const Tables::AcCode* Find(int run, int level, int last) const
    {
        if (run > 63 || level < 1 || level > maxLevel[last][run])
        {
            return nullptr;
        }
        return &codes[codeByLevel[firstCode[last][run] + level - 1]];
    }
};

const std::array<AcSetIndex, 8>& AcSetIndexes()
{
    static const std::array<AcSetIndex, 8> indexes = {
        AcSetIndex(Tables::AcSets[0]), AcSetIndex(Tables::AcSets[1]), AcSetIndex(Tables::AcSets[2]),
        AcSetIndex(Tables::AcSets[3]), AcSetIndex(Tables::AcSets[4]), AcSetIndex(Tables::AcSets[5]),
        AcSetIndex(Tables::AcSets[6]), AcSetIndex(Tables::AcSets[7])};
    return indexes;
}

// How one (run, level, last) event is sent with a given set: directly, or after the escape
// code in one of its three modes.
struct AcChoice
{
    int mode = 0; // 0 direct, 1 level offset, 2 run offset, 3 fixed-length
    const Tables::AcCode* code = nullptr;
    int bits = 0; // sign included
};

AcChoice ChooseAc(const AcSetIndex& set, int run, int level, int last, int escapeRunBits, int escapeLevelBits)
{
    AcChoice best;
    if (const auto* code = set.Find(run, level, last))
    {
        best = {0, code, code->length + 1};
    }
    const int escape = set.escape.length;
    if (best.code && best.bits <= escape + 2)
    {
        return best; // no escape can be shorter
    }
    if (run < 64 && set.maxLevel[last][run] > 0)
    {
        if (const auto* code = set.Find(run, level - set.maxLevel[last][run], last))
        {
            const int bits = escape + 1 + code->length + 1;
            if (!best.code || bits < best.bits)
            {
                best = {1, code, bits};
            }
        }
    }
    if (level < 64 && set.maxRun[last][level] >= 0 && run > set.maxRun[last][level])
    {
        if (const auto* code = set.Find(run - set.maxRun[last][level] - 1, level, last))
        {
            const int bits = escape + 2 + code->length + 1;
            if (!best.code || bits < best.bits)
            {
                best = {2, code, bits};
            }
        }
    }
    const int fixedBits = escape + 2 + 1 + escapeRunBits + 1 + escapeLevelBits;
    if (!best.code || fixedBits < best.bits)
    {
        best = {3, nullptr, fixedBits};
    }
    return best;
}

// The bits of every event of small level without the fixed-length escape (whose size changes from
// picture to picture), by set, last, run and level - 1: EventBits takes the smaller of this and the
// fixed-length escape instead of searching the codes for each event again.
constexpr int TabledLevels = 32;
using EventBitsTable = std::array<std::array<std::array<std::array<std::uint8_t, TabledLevels>, 64>, 2>, 8>;

const EventBitsTable& TabledEventBits()
{
    static const auto table = []
    {
        auto result = std::make_unique<EventBitsTable>();
        for (int set = 0; set < 8; ++set)
        {
            for (int last = 0; last < 2; ++last)
            {
                for (int run = 0; run < 64; ++run)
                {
                    for (int level = 1; level <= TabledLevels; ++level)
                    {
                        // Escape sizes too large for the fixed-length escape ever to be the cheapest.
                        const int bits = ChooseAc(AcSetIndexes()[set], run, level, last, 100, 100).bits;
                        (*result)[set][last][run][level - 1] = static_cast<std::uint8_t>(std::min(bits, 255));
                    }
                }
            }
        }
        return result;
    }();
    return *table;
}

int BitsFor(int value)
{
    int bits = 0;
    while (value >> bits)
    {
        ++bits;
    }
    return bits;
}

std::span<const Tables::Code, 120> DcTable(bool luma, int table)
{
    return luma ? Tables::DcLuma[table] : Tables::DcChroma[table];
}

} // namespace

int Wmv3EntropyCoder::LumaSet(int selector, int pqIndex)
{
    return selector == 1 ? 0 : selector == 2 ? 4 : pqIndex <= 8 ? 6 : 2;
}

int Wmv3EntropyCoder::ChromaSet(int selector, int pqIndex)
{
    return selector == 1 ? 1 : selector == 2 ? 5 : pqIndex <= 8 ? 7 : 3;
}

void Wmv3EntropyCoder::PutSelector(Wmv3BitWriter& writer, int selector)
{
    if (selector == 0)
    {
        writer.Put(0, 1);
    }
    else
    {
        writer.Put(selector == 1 ? 2 : 3, 2);
    }
}

int Wmv3EntropyCoder::DcBits(bool luma, int table, int difference, int pquant)
{
    const auto codes = DcTable(luma, table);
    const int magnitude = std::abs(difference);
    if (magnitude == 0)
    {
        return codes[0].length;
    }
    const int extra = pquant == 1 ? 2 : pquant == 2 ? 1 : 0;
    const int index = (magnitude + (1 << extra) - 1) >> extra;
    if (index <= 118)
    {
        return codes[index].length + extra + 1;
    }
    return codes[119].length + 8 + extra + 1;
}

void Wmv3EntropyCoder::PutDc(Wmv3BitWriter& writer, bool luma, int table, int difference, int pquant)
{
    const auto codes = DcTable(luma, table);
    const int extra = pquant == 1 ? 2 : pquant == 2 ? 1 : 0;
    const int magnitude = std::abs(difference);
    if (magnitude == 0)
    {
        writer.Put(codes[0]);
        return;
    }
    const int index = (magnitude + (1 << extra) - 1) >> extra;
    if (index <= 118)
    {
        writer.Put(codes[index]);
        if (extra)
        {
            writer.Put(static_cast<std::uint32_t>(magnitude + (1 << extra) - 1), extra);
        }
    }
    else
    {
        writer.Put(codes[119]);
        writer.Put(static_cast<std::uint32_t>(magnitude), 8 + extra);
    }
    writer.Put(difference < 0 ? 1 : 0, 1);
}

void Wmv3EntropyCoder::Start(int newPquant, int maxRun, int maxLevel)
{
    pquant = newPquant;
    // Sizes of the fixed-length escape, for the whole picture: they must fit every level and
    // run that might be sent that way.
    if (pquant < 8)
    {
        escapeLevelBits = std::clamp(BitsFor(maxLevel), 1, 11);
    }
    else
    {
        escapeLevelBits = std::clamp(BitsFor(maxLevel), 2, 8);
    }
    escapeRunBits = std::clamp(BitsFor(maxRun), 3, 6);
    escapeSizesSent = false;
    for (int set = 0; set < 8; ++set)
    {
        // As ChooseAc counts it: escape, mode, last, run, sign, level.
        fixedLengthBits[set] =
            AcSetIndexes()[set].escape.length + 2 + 1 + escapeRunBits + 1 + escapeLevelBits;
    }
}

int Wmv3EntropyCoder::EventBits(int set, const Event& event) const
{
    const int level = std::abs(event.level);
    if (level <= TabledLevels && event.run < 64)
    {
        static const EventBitsTable& table = TabledEventBits();
        return std::min<int>(table[set][event.last][event.run][level - 1], fixedLengthBits[set]);
    }
    return ChooseAc(AcSetIndexes()[set], event.run, std::abs(event.level), event.last, escapeRunBits,
                    escapeLevelBits)
        .bits;
}

void Wmv3EntropyCoder::PutEvents(Wmv3BitWriter& writer, int setNumber, std::span<const Event> events,
                                 std::array<int, 3>& escapes)
{
    const AcSetIndex& set = AcSetIndexes()[setNumber];
    for (const Event& event : events)
    {
        const int level = std::abs(event.level);
        const std::uint32_t sign = event.level < 0 ? 1 : 0;
        const AcChoice choice = ChooseAc(set, event.run, level, event.last, escapeRunBits, escapeLevelBits);
        if (choice.mode == 0)
        {
            writer.Put(choice.code->bits, choice.code->length);
            writer.Put(sign, 1);
            continue;
        }
        ++escapes[choice.mode - 1];
        writer.Put(set.escape);
        if (choice.mode == 1)
        {
            writer.Put(1, 1);
            writer.Put(choice.code->bits, choice.code->length);
            writer.Put(sign, 1);
        }
        else if (choice.mode == 2)
        {
            writer.Put(1, 2);
            writer.Put(choice.code->bits, choice.code->length);
            writer.Put(sign, 1);
        }
        else
        {
            writer.Put(0, 2);
            writer.Put(event.last, 1);
            if (!escapeSizesSent)
            {
                if (pquant < 8)
                {
                    if (escapeLevelBits < 8)
                    {
                        writer.Put(static_cast<std::uint32_t>(escapeLevelBits), 3);
                    }
                    else
                    {
                        writer.Put(static_cast<std::uint32_t>(escapeLevelBits - 8), 5);
                    }
                }
                else
                {
                    // 1, 01, 001, ... 000001 for 2..7; six zeros for 8.
                    const int zeros = escapeLevelBits - 2;
                    writer.Put(zeros < 6 ? 1 : 0, zeros < 6 ? zeros + 1 : 6);
                }
                writer.Put(static_cast<std::uint32_t>(escapeRunBits - 3), 2);
                escapeSizesSent = true;
            }
            writer.Put(event.run, escapeRunBits);
            writer.Put(sign, 1);
            writer.Put(static_cast<std::uint32_t>(level), escapeLevelBits);
        }
    }
}

} // namespace VistelCapture
