#include "AboutBox.h"

#include "DialogUnits.h"
#include "VistelCaptureApp.h"
#include "WindowResources.h"

#include <Norvex/Core/VersionInformation.h>

#include <QLabel>
#include <QPushButton>

namespace VistelCapture
{

AboutBox::AboutBox(const VistelCaptureApp& application, QWidget* parent) : QDialog(parent)
{
    InitializeWindowResources();
    // Template 100: "MS UI Gothic" 9 pt, 185 x 73 dialog units, a fixed frame.
    const DialogUnits units(QStringLiteral("MS UI Gothic"), 9);
    setFont(units.GetFont());
    setWindowTitle(application.CaptureApiFamily == 1 ? QStringLiteral("バージョン情報 (GStreamer モード)")
                                                     : QStringLiteral("バージョン情報"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    auto* logo = new QLabel(this);
    logo->setPixmap(QPixmap(QStringLiteral(":/VistelCapture/logo.png")));
    logo->setAccessibleName(QStringLiteral("Vistel Capture"));
    logo->move(units.ToPixels(7, 7, 98, 19).topLeft());
    logo->resize(logo->pixmap().size());

    // The template's widths fit its own font; a substitute font may need more, so a text keeps its
    // whole width and the box grows with it rather than cutting words off.
    const auto place = [](QLabel* label, const QRect& rectangle)
    {
        label->setTextFormat(Qt::PlainText);
        label->setGeometry(rectangle);
        label->resize(qMax(rectangle.width(), label->sizeHint().width()), rectangle.height());
    };
    auto* product = new QLabel(QStringLiteral("Vistel Capture, Version"), this);
    place(product, units.ToPixels(19, 32, 73, 8));

    // Raises when the version cannot be read; the top-level handler shows it.
    const Norvex::Core::VersionInformation information;
    version = new QLabel(QString::fromWCharArray(information.GetEntry(0).productVersion), this);
    QRect versionRectangle = units.ToPixels(92, 32, 37, 8);
    versionRectangle.moveLeft(
        qMax(versionRectangle.left(),
             product->geometry().right() + 1 + product->fontMetrics().horizontalAdvance(' ')));
    place(version, versionRectangle);

    auto* notice = new QLabel(QStringLiteral("Linux 版 (Qt 6、GStreamer、V4L2)"), this);
    place(notice, units.ToPixels(19, 44, 114, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(units.ToPixels(128, 52, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    const int margin = units.ToPixelsX(7);
    const int contentRight = qMax(version->geometry().right(), notice->geometry().right()) + 1 + margin;
    const QSize templateSize = units.ToPixels(185, 73);
    if (contentRight > templateSize.width())
    {
        // The OK button keeps its distance from the right edge.
        ok->move(ok->x() + contentRight - templateSize.width(), ok->y());
    }
    setFixedSize(qMax(templateSize.width(), contentRight), templateSize.height());
    ok->setFocus();
}

} // namespace VistelCapture
