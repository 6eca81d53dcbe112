#pragma once

#include "Wmv3BitWriter.h"

#include <cstdint>
#include <vector>

// The P picture's own syntax: how a motion vector difference and the skipped-macroblock
// bitplane are written.
namespace VistelCapture::Wmv3InterSyntax
{

// How a macroblock's vector is sent: the code's symbol (without coefficients; add 37 with them)
// and the bits after it.
struct VectorCode
{
    int index = 0; // 0..35, 35 = escape
    int extraBits = 0;
};

// dx, dy in half pixels.
VectorCode CodeVector(int dx, int dy);

// The symbol in the motion-difference table: the vector's code, with or without coefficients.
int VectorSymbol(int index, bool coded);

// The bits after the symbol for one component of a difference.
void PutDifference(Wmv3BitWriter& writer, int difference);

// The skip flags as a bitplane: rows or columns skipped when all zero, or pairs by a short code;
// each with or without inversion, whichever is shortest.
void PutBitplane(Wmv3BitWriter& writer, const std::vector<std::uint8_t>& flags, int columns, int rows);

} // namespace VistelCapture::Wmv3InterSyntax
