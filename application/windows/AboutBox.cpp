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
    setFixedSize(units.ToPixels(185, 73));

    auto* logo = new QLabel(this);
    logo->setPixmap(QPixmap(QStringLiteral(":/VistelCapture/logo.png")));
    logo->setAccessibleName(QStringLiteral("Vistel Capture"));
    logo->move(units.ToPixels(7, 7, 98, 19).topLeft());
    logo->resize(logo->pixmap().size());

    auto* product = new QLabel(QStringLiteral("Vistel Capture, Version"), this);
    product->setTextFormat(Qt::PlainText);
    product->setGeometry(units.ToPixels(19, 32, 73, 8));

    // Raises when the version cannot be read; the top-level handler shows it.
    const Norvex::Core::VersionInformation information;
    version = new QLabel(QString::fromWCharArray(information.GetEntry(0).productVersion), this);
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(units.ToPixels(92, 32, 37, 8));

    auto* notice = new QLabel(QStringLiteral("Linux 版、Qt 6 と GStreamer で動作"), this);
    notice->setTextFormat(Qt::PlainText);
    notice->setGeometry(units.ToPixels(19, 44, 114, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(units.ToPixels(128, 52, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();
}

} // namespace VistelCapture
