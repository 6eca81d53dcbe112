#pragma once

#include "VideoCapture/FrameConverter.h"

namespace Norvex::Testing
{

// A matrix's luma weights of red and blue as its standard gives them, for the tests' own
// double-precision formulas (kept apart from the converters' table, which they check).
struct TextbookWeights
{
    double red = 0.299;
    double blue = 0.114;

    explicit TextbookWeights(Norvex::Core::VideoCapture::ColourEncoding::Matrix matrix)
    {
        using Matrix = Norvex::Core::VideoCapture::ColourEncoding::Matrix;
        switch (matrix)
        {
        case Matrix::Bt709:
            red = 0.2126, blue = 0.0722;
            break;
        case Matrix::Bt2020:
            red = 0.2627, blue = 0.0593;
            break;
        case Matrix::Smpte240m:
            red = 0.212, blue = 0.087;
            break;
        case Matrix::Bt601:
            break;
        }
    }
};

} // namespace Norvex::Testing
