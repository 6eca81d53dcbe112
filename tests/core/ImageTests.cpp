#include <Norvex/Core/Image.h>

#include <gtest/gtest.h>

using Pixel = Norvex::Core::Pixel<unsigned char>;
using Image = Norvex::Core::Image<Pixel>;

TEST(Image, ResizeFillsWithOpaqueBlackAndSetsTheStride)
{
    Image image(3, 2);
    EXPECT_EQ(image.stride, 12);
    EXPECT_EQ(image.data, image.buffer.data());
    ASSERT_EQ(image.buffer.size(), 6u);
    for (const auto& pixel : image.buffer)
    {
        EXPECT_EQ(pixel.blue + pixel.green + pixel.red, 0);
        EXPECT_EQ(pixel.alpha, 255);
    }
    image.Resize(-1, 5);
    EXPECT_EQ(image.width, 0);
    EXPECT_EQ(image.data, nullptr);
}

TEST(Image, CopiesOwnTheirPixelsEvenFromAForeignBuffer)
{
    // A view of 2x2 pixels inside a wider buffer (stride 3 pixels), as a plug-in might hand out.
    Pixel foreign[6];
    for (int i = 0; i < 6; ++i)
    {
        foreign[i].red = static_cast<unsigned char>(i);
    }
    Image view;
    view.data = foreign;
    view.width = 2;
    view.height = 2;
    view.stride = 3 * sizeof(Pixel);

    Image copy = view;
    EXPECT_EQ(copy.data, copy.buffer.data());
    EXPECT_EQ(copy.stride, 8);
    EXPECT_EQ(copy.At(0, 1).red, 3);
    EXPECT_EQ(copy.At(1, 1).red, 4);

    Image moved = std::move(copy);
    EXPECT_EQ(moved.data, moved.buffer.data());
    EXPECT_EQ(moved.At(1, 1).red, 4);
    EXPECT_EQ(copy.data, nullptr);

    Image assigned(2, 2);
    Pixel* before = assigned.data;
    assigned = moved;
    EXPECT_EQ(assigned.data, before) << "same size reuses the buffer";
    EXPECT_EQ(assigned.At(0, 1).red, 3);
}
