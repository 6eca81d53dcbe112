// The picture-aid processors on synthetic frames of known content, driven through their slots as
// the host drives them, with a stand-in host.
#include "TestHostServices.h"
#include "WidgetTestSupport.h"

#include "ExposureWarningPage.h"
#include "ExposureWarningProcessor.h"
#include "FocusPeakingProcessor.h"
#include "RegionStatisticsPage.h"
#include "RegionStatisticsProcessor.h"
#include "ZebraFilter.h"

#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QSpinBox>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>

using namespace VistelTest;
using namespace Vistel::PictureAids;
using Norvex::Core::Pixel;
using Vistel::Framework::Point2F;

namespace
{

// A processor of type T initialised on its own host, released at the end of the test.
template <class T> struct Driven
{
    TestHostServices host;
    T* processor = new T();

    Driven() { EXPECT_EQ(processor->Initialize(&host), Norvex::Core::S_OK); }
    ~Driven()
    {
        processor->Finalize();
        processor->Release();
    }

    void Frame(std::int32_t width, std::int32_t height,
               const std::function<Pixel<unsigned char>(int, int)>& paint)
    {
        host.sourceImage.Resize(width, height);
        for (int y = 0; y < height; ++y)
        {
            for (int x = 0; x < width; ++x)
            {
                host.sourceImage.At(x, y) = paint(x, y);
            }
        }
    }
    void Drag(Point2F from, Point2F to)
    {
        bool captured = false;
        ASSERT_EQ(processor->OnLButtonDown(Vistel::Framework::MK_LBUTTON, &from, &captured),
                  Norvex::Core::S_OK);
        EXPECT_TRUE(captured) << "the processor claims the pointer for its rectangle";
        const Point2F middle{(from.x + to.x) / 2, (from.y + to.y) / 2};
        processor->OnMouseMove(Vistel::Framework::MK_LBUTTON, &middle);
        processor->OnMouseMove(Vistel::Framework::MK_LBUTTON, &to);
        processor->OnLButtonUp(0, &to);
    }
    const Image& Shown() { return *processor->GetImage(); }
};

Pixel<unsigned char> Grey(unsigned char level)
{
    return {level, level, level, 255};
}

bool Same(const Pixel<unsigned char>& a, const Pixel<unsigned char>& b)
{
    return a.blue == b.blue && a.green == b.green && a.red == b.red;
}

// Luminance as defined for the processors: ITU-R BT.601 weights in 15-bit fixed point, rounded.
int Luminance(const Pixel<unsigned char>& p)
{
    return (p.red * 9798 + p.green * 19235 + p.blue * 3735 + (1 << 14)) >> 15;
}

} // namespace

class PictureAidTest : public WidgetTest
{
protected:
    static void SetUpTestSuite()
    {
        WidgetTest::SetUpTestSuite();
        cv::setNumThreads(1);
    }
};

TEST_F(PictureAidTest, PeakingMarksExactlyTheEdgePixelsAndNothingOnAFlatField)
{
    Driven<FocusPeakingProcessor> peaking;
    // A black left half against a white right half: only the two columns at the edge contrast.
    peaking.Frame(64, 48, [](int x, int) { return Grey(x < 32 ? 0 : 255); });
    ASSERT_EQ(peaking.processor->Process(), Norvex::Core::S_OK);
    const Image& marked = peaking.Shown();
    ASSERT_NE(&marked, &peaking.host.sourceImage)
        << "the marks go into a copy, never into the camera's frame";
    const Pixel<unsigned char> red{0, 0, 255, 255};
    for (int y = 0; y < 48; ++y)
    {
        for (int x = 0; x < 64; ++x)
        {
            const bool edge = x == 31 || x == 32;
            ASSERT_TRUE(Same(marked.At(x, y), edge ? red : peaking.host.sourceImage.At(x, y)))
                << x << "," << y;
        }
    }
    EXPECT_GT(peaking.processor->GetReadout().score, 0.0);

    // A weak edge (contrast 20) stays below the default threshold until the threshold drops.
    peaking.Frame(64, 48, [](int x, int) { return Grey(x < 32 ? 100 : 120); });
    peaking.processor->Process();
    EXPECT_TRUE(Same(peaking.Shown().At(31, 10), Grey(100)));
    peaking.processor->SetThreshold(10);
    peaking.processor->SetColor(0x00FF00);
    peaking.processor->Process();
    EXPECT_TRUE(Same(peaking.Shown().At(31, 10), Pixel<unsigned char>{0, 255, 0, 255}));
    EXPECT_TRUE(Same(peaking.Shown().At(30, 10), Grey(100)));

    peaking.Frame(64, 48, [](int, int) { return Grey(128); });
    peaking.processor->Process();
    for (int y = 0; y < 48; ++y)
    {
        for (int x = 0; x < 64; ++x)
        {
            ASSERT_TRUE(Same(peaking.Shown().At(x, y), Grey(128)))
                << "a flat field has no edge: " << x << "," << y;
        }
    }
    EXPECT_EQ(peaking.processor->GetReadout().score, 0.0);
}

TEST_F(PictureAidTest, SharpnessFallsMonotonicallyAsThePictureBlursAndFollowsTheRegion)
{
    std::mt19937 random(7);
    cv::Mat sharp(240, 320, CV_8UC4);
    for (int y = 0; y < sharp.rows; ++y)
    {
        for (int x = 0; x < sharp.cols; ++x)
        {
            // Detail on the left two thirds, a flat band on the right.
            const auto level = static_cast<unsigned char>(x < 200 ? random() % 256 : 90);
            sharp.at<cv::Vec4b>(y, x) = cv::Vec4b(level, level, level, 255);
        }
    }
    Driven<FocusPeakingProcessor> peaking;
    double previous = INFINITY;
    for (const double sigma : {0.0, 0.6, 1.0, 1.5, 2.5, 4.0})
    {
        cv::Mat blurred = sharp.clone();
        if (sigma > 0)
        {
            cv::GaussianBlur(sharp, blurred, cv::Size(), sigma);
        }
        peaking.Frame(320, 240,
                      [&](int x, int y)
                      {
                          const auto v = blurred.at<cv::Vec4b>(y, x);
                          return Pixel<unsigned char>{v[0], v[1], v[2], 255};
                      });
        peaking.processor->Process();
        const double score = peaking.processor->GetReadout().score;
        EXPECT_LT(score, previous) << "sigma " << sigma;
        previous = score;
    }
    const auto readout = peaking.processor->GetReadout();
    EXPECT_EQ(readout.history.size(), 6u);
    EXPECT_GT(readout.peak, readout.score) << "the sharpest frame stays visible as the peak";

    // Scored inside the flat band only, the same frame has no sharpness at all.
    peaking.Drag({250.5f, 20.5f}, {300.5f, 200.5f});
    peaking.processor->Process();
    EXPECT_EQ(peaking.processor->GetReadout().score, 0.0);
    EXPECT_EQ(peaking.processor->GetReadout().scored, cv::Rect(250, 20, 51, 181));
    peaking.processor->ClearRegion();
    peaking.processor->Process();
    EXPECT_GT(peaking.processor->GetReadout().score, 0.0);
}

TEST_F(PictureAidTest, RegionStatisticsMatchAnIndependentComputation)
{
    Driven<RegionStatisticsProcessor> statistics;
    std::mt19937 random(11);
    statistics.Frame(97, 61,
                     [&](int, int)
                     {
                         const auto v = random();
                         return Pixel<unsigned char>{static_cast<unsigned char>(v),
                                                     static_cast<unsigned char>(v >> 8),
                                                     static_cast<unsigned char>(v >> 16), 255};
                     });
    const Image& frame = statistics.host.sourceImage;

    const auto check = [&](cv::Rect expected, const char* what)
    {
        SCOPED_TRACE(what);
        statistics.processor->Process();
        const auto readout = statistics.processor->GetReadout();
        ASSERT_TRUE(readout.valid);
        ASSERT_EQ(readout.measured, expected);
        for (int channel = 0; channel < RegionStatistics::ChannelCount; ++channel)
        {
            std::array<std::uint32_t, 256> histogram{};
            double sum = 0;
            int minimum = 255;
            int maximum = 0;
            for (int y = expected.y; y < expected.br().y; ++y)
            {
                for (int x = expected.x; x < expected.br().x; ++x)
                {
                    const auto& p = frame.At(x, y);
                    const int value = channel == RegionStatistics::Red     ? p.red
                                      : channel == RegionStatistics::Green ? p.green
                                      : channel == RegionStatistics::Blue  ? p.blue
                                                                           : Luminance(p);
                    ++histogram[static_cast<std::size_t>(value)];
                    sum += value;
                    minimum = std::min(minimum, value);
                    maximum = std::max(maximum, value);
                }
            }
            const double count = expected.area();
            const double mean = sum / count;
            double squares = 0;
            for (int level = 0; level < 256; ++level)
            {
                squares += histogram[static_cast<std::size_t>(level)] * (level - mean) * (level - mean);
            }
            const auto& measured = readout.statistics.channels[static_cast<std::size_t>(channel)];
            EXPECT_NEAR(measured.mean, mean, 1e-9) << "channel " << channel;
            EXPECT_NEAR(measured.standardDeviation, std::sqrt(squares / count), 1e-6)
                << "channel " << channel;
            EXPECT_EQ(measured.minimum, minimum) << "channel " << channel;
            EXPECT_EQ(measured.maximum, maximum) << "channel " << channel;
            EXPECT_EQ(measured.histogram, histogram) << "channel " << channel;
        }
    };

    check(cv::Rect(0, 0, 97, 61), "no rectangle: the whole frame");
    // Dragged past the bottom-right corner: it stops at the frame's last pixels.
    statistics.Drag({80.2f, 50.7f}, {140.0f, 90.0f});
    check(cv::Rect(80, 50, 17, 11), "touching the right and bottom edges");
    statistics.Drag({0.4f, 3.9f}, {-20.0f, -5.0f});
    check(cv::Rect(0, 0, 1, 4), "touching the left and top edges");
    statistics.Drag({40.5f, 30.5f}, {40.9f, 30.1f});
    check(cv::Rect(40, 30, 1, 1), "a click: one pixel");
    statistics.Drag({60.5f, 44.5f}, {20.5f, 10.5f});
    check(cv::Rect(20, 10, 41, 35), "dragged from bottom-right to top-left");

    // The page shows the same figures.
    auto* page = new RegionStatisticsPage(*statistics.processor, nullptr);
    page->Refresh();
    const auto readout = statistics.processor->GetReadout();
    const auto& green = readout.statistics.channels[RegionStatistics::Green];
    EXPECT_EQ(page->Cell(RegionStatistics::Green, 0)->text(), QString::number(green.mean, 'f', 2));
    EXPECT_EQ(page->Cell(RegionStatistics::Green, 1)->text(),
              QString::number(green.standardDeviation, 'f', 2));
    EXPECT_EQ(page->Cell(RegionStatistics::Green, 2)->text(), QString::number(green.minimum));
    EXPECT_EQ(page->Cell(RegionStatistics::Green, 3)->text(), QString::number(green.maximum));
    delete page;
}

TEST_F(PictureAidTest, TheRegionOverlayAtRatioFourLandsOnItsScreenPixels)
{
    Driven<RegionStatisticsProcessor> statistics;
    statistics.Frame(16, 16, [](int, int) { return Grey(0); });
    statistics.processor->Process();
    statistics.Drag({6.5f, 6.5f}, {2.2f, 3.9f}); // pixels 2..6 by 3..6
    EXPECT_GT(statistics.host.invalidateCount, 0) << "a changed overlay asks the preview to repaint";

    QImage screen(80, 80, QImage::Format_RGB32);
    screen.fill(Qt::black);
    {
        QPainter painter(&screen);
        painter.translate(7, 5); // the image's corner in the preview
        ASSERT_EQ(statistics.processor->OnDraw2d(&painter, 4.0), Norvex::Core::S_OK);
    }
    const int left = 7 + 2 * 4, top = 5 + 3 * 4, right = 7 + 7 * 4 - 1, bottom = 5 + 7 * 4 - 1;
    const auto lit = [&](int x, int y)
    {
        return screen.pixel(x, y) != qRgb(0, 0, 0);
    };
    for (int x = left; x <= right; ++x)
    {
        EXPECT_TRUE(lit(x, top) && lit(x, bottom)) << "x " << x;
        EXPECT_FALSE(lit(x, bottom + 1)) << "x " << x;
    }
    for (int y = top; y <= bottom; ++y)
    {
        EXPECT_TRUE(lit(left, y) && lit(right, y)) << "y " << y;
        EXPECT_FALSE(lit(left - 1, y) || lit(right + 1, y)) << "y " << y;
    }
}

TEST_F(PictureAidTest, ZebraMarksExactlyThePixelsAtOrAboveTheLevelAndTheDarkOnesWhenAsked)
{
    Driven<ExposureWarningProcessor> zebra;
    // Every level once per row, so each level meets both stripe phases.
    zebra.Frame(256, 16, [](int x, int) { return Grey(static_cast<unsigned char>(x)); });
    const auto verify = [&](int high, int dark)
    {
        zebra.processor->Process();
        const Image& shown = zebra.Shown();
        for (int y = 0; y < 16; ++y)
        {
            for (int x = 0; x < 256; ++x)
            {
                Pixel<unsigned char> expected = Grey(static_cast<unsigned char>(x));
                if (x >= high && ZebraFilter::OnBrightStripe(x, y))
                {
                    expected = {0, 0, 0, 255};
                }
                else if (dark >= 0 && x <= dark && ZebraFilter::OnDarkStripe(x, y, 256))
                {
                    expected = {255, 255, 0, 255};
                }
                ASSERT_TRUE(Same(shown.At(x, y), expected))
                    << x << "," << y << " high " << high << " dark " << dark;
            }
        }
    };
    verify(250, -1);
    EXPECT_DOUBLE_EQ(zebra.processor->GetReadout().brightShare, 6.0 / 256.0);
    EXPECT_EQ(zebra.processor->GetReadout().darkShare, 0.0);

    // The page changes the levels and stores them.
    auto* page = new ExposureWarningPage(*zebra.processor, nullptr);
    page->findChild<QSpinBox*>(QStringLiteral("highLevel"))->setValue(200);
    page->findChild<QCheckBox*>()->setChecked(true);
    verify(200, 5);
    EXPECT_DOUBLE_EQ(zebra.processor->GetReadout().darkShare, 6.0 / 256.0);
    page->Refresh();
    EXPECT_EQ(page->findChild<QLabel*>(QStringLiteral("brightShare"))->text(),
              QStringLiteral("%1 %").arg(56.0 / 256.0 * 100.0, 0, 'f', 2));
    EXPECT_EQ(zebra.host.GetProfileInt(L"ExposureWarning", L"HighLevel", 0), 200);
    EXPECT_EQ(zebra.host.GetProfileInt(L"ExposureWarning", L"IsDarkWarningEnabled", 0), 1);
    delete page;
}

TEST_F(PictureAidTest, AFrameSizeChangeKeepsNothingOutOfRange)
{
    Driven<RegionStatisticsProcessor> statistics;
    Driven<ExposureWarningProcessor> zebra;
    statistics.Frame(64, 48, [](int x, int) { return Grey(static_cast<unsigned char>(x * 4)); });
    zebra.Frame(64, 48, [](int x, int) { return Grey(static_cast<unsigned char>(x * 4)); });
    statistics.processor->Process();
    zebra.processor->Process();
    statistics.Drag({50.5f, 40.5f}, {63.5f, 47.5f});
    statistics.processor->Process();
    ASSERT_EQ(statistics.processor->GetReadout().measured, cv::Rect(50, 40, 14, 8));

    // Half the size: the rectangle chosen for 64x48 lies outside; frames before and after the
    // host's Reset are measured inside the frame only.
    statistics.Frame(32, 24, [](int, int) { return Grey(9); });
    zebra.Frame(32, 24, [](int, int) { return Grey(9); });
    statistics.processor->Process();
    EXPECT_EQ(statistics.processor->GetReadout().measured, cv::Rect(0, 0, 32, 24));
    statistics.processor->Reset();
    zebra.processor->Reset();
    EXPECT_EQ(&zebra.Shown(), &zebra.host.sourceImage) << "the old output has the old size";
    statistics.processor->Process();
    zebra.processor->Process();
    EXPECT_EQ(statistics.processor->GetReadout().measured, cv::Rect(0, 0, 32, 24));
    EXPECT_EQ(zebra.Shown().width, 32);
    QImage screen(32, 24, QImage::Format_RGB32);
    screen.fill(Qt::black);
    {
        QPainter painter(&screen);
        statistics.processor->OnDraw2d(&painter, 1.0);
    }
    EXPECT_EQ(screen.pixel(31, 23), qRgb(0, 0, 0)) << "no rectangle of the other size is drawn";

    // A stored value for this size that reaches outside (edited by hand) is clipped to the frame.
    statistics.host.WriteProfileString(L"RegionStatistics", L"Region32x24", L"20,10,100,100");
    statistics.processor->Reset();
    statistics.processor->Process();
    EXPECT_EQ(statistics.processor->GetReadout().measured, cv::Rect(20, 10, 12, 14));

    // Back to 64x48: the rectangle kept for that size returns.
    statistics.Frame(64, 48, [](int, int) { return Grey(9); });
    statistics.processor->Process();
    statistics.processor->Reset();
    statistics.processor->Process();
    EXPECT_EQ(statistics.processor->GetReadout().measured, cv::Rect(50, 40, 14, 8));
}
