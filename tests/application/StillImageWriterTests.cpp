#include "StillImageWriter.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include "FileText.h"
#include "TemporaryFolder.h"

#include <QImage>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

using Norvex::Core::Exception;
using Norvex::Core::ToWideString;
using Norvex::Testing::ReadFileText;
using Norvex::Testing::TemporaryFolder;
using VistelCapture::StillImageWriter;
using Image = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

namespace
{

// A picture with a different colour in every pixel and smooth enough for JPEG.
Image TestPicture(int width, int height)
{
    Image image(width, height);
    for (int y = 0; y < height; ++y)
    {
        for (int x = 0; x < width; ++x)
        {
            auto& pixel = image.At(x, y);
            pixel.blue = static_cast<unsigned char>(x * 255 / width);
            pixel.green = static_cast<unsigned char>(y * 255 / height);
            pixel.red = static_cast<unsigned char>((x + y) * 127 / (width + height));
        }
    }
    return image;
}

double Psnr(const Image& expected, const QImage& actual)
{
    double squared = 0;
    for (int y = 0; y < expected.height; ++y)
    {
        for (int x = 0; x < expected.width; ++x)
        {
            const auto& e = expected.At(x, y);
            const QRgb a = actual.pixel(x, y);
            for (auto [u, v] : {std::pair{e.red, qRed(a)}, {e.green, qGreen(a)}, {e.blue, qBlue(a)}})
            {
                squared += (double(u) - v) * (double(u) - v);
            }
        }
    }
    const double mse = squared / (3.0 * expected.width * expected.height);
    return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

class StillImageTest : public ::testing::Test
{
protected:
    std::wstring PathOf(const std::string& name) const { return ToWideString((folder / name).string()); }
    QImage Read(const std::string& name) const
    {
        return QImage(QString::fromStdString((folder / name).string()));
    }
    std::size_t FileCount() const
    {
        return std::distance(std::filesystem::directory_iterator(folder.Path()), {});
    }

    TemporaryFolder folder;
    Image picture = TestPicture(641, 480);
};

} // namespace

TEST_F(StillImageTest, LosslessFormatsRoundTripExactly)
{
    StillImageWriter::Save(picture, StillImageWriter::Bmp, PathOf("a.bmp"));
    StillImageWriter::Save(picture, StillImageWriter::Png, PathOf("a.png"));
    StillImageWriter::Save(picture, StillImageWriter::Tiff, PathOf("a.tif"));
    for (const char* name : {"a.bmp", "a.png", "a.tif"})
    {
        const QImage read = Read(name);
        ASSERT_FALSE(read.isNull()) << name;
        EXPECT_EQ(read.width(), 641);
        EXPECT_EQ(read.height(), 480);
        EXPECT_EQ(Psnr(picture, read), INFINITY) << name;
    }
    EXPECT_EQ(FileCount(), 3u) << "no temporary file left behind";
}

TEST_F(StillImageTest, BmpKeeps32BitRowsAndOthers24)
{
    StillImageWriter::Save(picture, StillImageWriter::Bmp, PathOf("a.bmp"));
    const std::string bmp = ReadFileText(folder / "a.bmp");
    ASSERT_EQ(bmp.size(), 54u + 641 * 480 * 4);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(static_cast<unsigned char>(bmp[28]), 32); // bits per pixel
    // Bottom-up: the file's first row is the picture's last, bytes as in the frame.
    EXPECT_EQ(std::memcmp(bmp.data() + 54, picture.Row(479), 641 * 4), 0);

    StillImageWriter::Save(picture, StillImageWriter::Png, PathOf("a.png"));
    StillImageWriter::Save(picture, StillImageWriter::Tiff, PathOf("a.tif"));
    const std::string png = ReadFileText(folder / "a.png");
    EXPECT_EQ(static_cast<unsigned char>(png[24]), 8); // bit depth
    EXPECT_EQ(static_cast<unsigned char>(png[25]), 2); // truecolour without alpha
    EXPECT_FALSE(Read("a.tif").hasAlphaChannel());
}

TEST_F(StillImageTest, JpegIsCloseAndForeignStridesAreRespected)
{
    // The same picture seen through a view whose rows are 16 pixels apart wider than the picture.
    Image wide = TestPicture(657, 480);
    Image view;
    view.data = wide.data;
    view.width = 641;
    view.height = 480;
    view.stride = wide.stride;
    for (int y = 0; y < 480; ++y)
    {
        std::memcpy(view.Row(y), picture.Row(y), 641 * 4);
    }
    StillImageWriter::Save(view, StillImageWriter::Jpeg, PathOf("a.jpg"));
    StillImageWriter::Save(view, StillImageWriter::Png, PathOf("view.png"));
    const QImage jpeg = Read("a.jpg");
    ASSERT_FALSE(jpeg.isNull());
    EXPECT_GT(Psnr(picture, jpeg), 35.0);
    EXPECT_EQ(Psnr(picture, Read("view.png")), INFINITY);
}

TEST_F(StillImageTest, SaveReplacesButSaveNewNeverDoes)
{
    StillImageWriter::Save(picture, StillImageWriter::Png, PathOf("x.png"));
    StillImageWriter::Save(TestPicture(8, 8), StillImageWriter::Png, PathOf("x.png"));
    EXPECT_EQ(Read("x.png").width(), 8);

    EXPECT_EQ(StillImageWriter::SaveNew(picture, StillImageWriter::Jpeg, PathOf("20260304050607089.jpg")),
              PathOf("20260304050607089.jpg"));
    EXPECT_EQ(StillImageWriter::SaveNew(picture, StillImageWriter::Jpeg, PathOf("20260304050607089.jpg")),
              PathOf("20260304050607089_2.jpg"));
    EXPECT_EQ(StillImageWriter::SaveNew(picture, StillImageWriter::Jpeg, PathOf("20260304050607089.jpg")),
              PathOf("20260304050607089_3.jpg"));
    EXPECT_EQ(FileCount(), 4u);
}

TEST_F(StillImageTest, OnlyARegularFileIsReplacedAndALinkKeepsPointingAtIt)
{
    namespace fs = std::filesystem;
    // Through a link, absolute or relative, the file it names is replaced (or made) and the link stays.
    StillImageWriter::Save(TestPicture(8, 8), StillImageWriter::Png, PathOf("real.png"));
    fs::create_symlink(folder / "real.png", folder / "absolute.png");
    fs::create_symlink("real.png", folder / "relative.png");
    fs::create_directory(folder / "sub");
    fs::create_symlink("sub/new.png", folder / "dangling.png");
    for (const char* link : {"absolute.png", "relative.png", "dangling.png"})
    {
        StillImageWriter::Save(picture, StillImageWriter::Png, PathOf(link));
        EXPECT_TRUE(fs::is_symlink(folder / link)) << link;
        EXPECT_EQ(Read(link).width(), picture.width) << link;
    }
    EXPECT_EQ(Read("sub/new.png").width(), picture.width);

    // Anything else is refused by name and stays what it was, with nothing made beside it.
    ASSERT_EQ(::mkfifo((folder / "fifo.png").c_str(), 0600), 0);
    const int unixSocket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (folder / "socket.png").c_str());
    ASSERT_EQ(::bind(unixSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    fs::create_directory(folder / "folder.png");
    fs::create_symlink("/dev/null", folder / "null.png");
    std::vector<std::string> refused = {"fifo.png", "socket.png", "folder.png", "null.png"};
    // Only root may make a device node: /dev/full's own numbers.
    if (::mknod((folder / "full.png").c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0)
    {
        refused.push_back("full.png");
    }
    const auto before = FileCount();
    for (const auto& name : refused)
    {
        for (auto format : {StillImageWriter::Bmp, StillImageWriter::Png})
        {
            try
            {
                StillImageWriter::Save(picture, format, PathOf(name));
                ADD_FAILURE() << name << " was written";
            }
            catch (const Exception& exception)
            {
                EXPECT_NE(exception.GetMessage().find(PathOf(name)), std::wstring::npos)
                    << Norvex::Core::ToUtf8(exception.GetMessage());
            }
        }
    }
    ::close(unixSocket);
    EXPECT_TRUE(fs::is_fifo(folder / "fifo.png"));
    EXPECT_TRUE(fs::is_socket(folder / "socket.png"));
    EXPECT_TRUE(fs::is_empty(folder / "folder.png"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_EQ(FileCount(), before);
}

TEST_F(StillImageTest, FailuresRaiseAndLeaveNoFile)
{
    try
    {
        StillImageWriter::Save(picture, StillImageWriter::Png, PathOf("missing/a.png"));
        FAIL() << "no exception";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), Norvex::Core::HRESULT_FROM_WIN32(ENOENT));
        EXPECT_EQ(exception.GetFunctionName(), L"SaveFrame");
    }
    EXPECT_THROW(StillImageWriter::Save(Image(), StillImageWriter::Bmp, PathOf("empty.bmp")), Exception);
    try
    {
        StillImageWriter::Save(picture, static_cast<StillImageWriter::Format>(4), PathOf("a.xyz"));
        FAIL() << "no exception";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetMessage(), L"サポートされていないフォーマットが指定されました。");
    }
    EXPECT_EQ(FileCount(), 0u);
}

TEST_F(StillImageTest, AFileCutShortByTheDiskLeavesNothingBehind)
{
    for (auto format :
         {StillImageWriter::Bmp, StillImageWriter::Jpeg, StillImageWriter::Png, StillImageWriter::Tiff})
    {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
        {
            // Files may not grow past 4 KiB: the disk "fills" in the middle of the picture.
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{4096, 4096};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            try
            {
                StillImageWriter::Save(picture, format, PathOf("cut"));
            }
            catch (const Exception&)
            {
                ::_exit(0);
            }
            ::_exit(1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "format " << format << " did not fail";
        EXPECT_EQ(FileCount(), 0u) << "format " << format;
    }
}
