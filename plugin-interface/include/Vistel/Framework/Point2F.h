#pragma once

namespace Vistel::Framework
{

// A mouse position in image pixel coordinates, as the preview hands it to processors.
struct Point2F
{
    float x;
    float y;
};

static_assert(sizeof(Point2F) == 2 * sizeof(float));

} // namespace Vistel::Framework
