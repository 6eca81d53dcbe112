#pragma once

#include <QDialog>

class QLabel;

namespace VistelCapture
{

class VistelCaptureApp;

// "バージョン情報": the logo, the product version of the running program and, in the caption, the
// capture back-end of this run when it is GStreamer.
class AboutBox final : public QDialog
{
    Q_OBJECT

public:
    explicit AboutBox(const VistelCaptureApp& application, QWidget* parent = nullptr);

    const QLabel& GetVersionLabel() const { return *version; }

private:
    QLabel* version = nullptr;
};

} // namespace VistelCapture
