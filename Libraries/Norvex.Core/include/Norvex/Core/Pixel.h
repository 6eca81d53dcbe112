#pragma once

namespace Norvex::Core
{

// One pixel in memory order blue, green, red, alpha; crosses the plug-in boundary by layout.
template <class T> struct Pixel
{
    T blue = 0;
    T green = 0;
    T red = 0;
    T alpha = 255;
};

static_assert(sizeof(Pixel<unsigned char>) == 4);

} // namespace Norvex::Core
