#pragma once

#include <QPushButton>

namespace VistelCapture
{

// A push-like check box that does not toggle itself when clicked: its check state and text follow
// the model's notifications only, so a click that the model refuses leaves the button as it was.
class ManualCheckButton final : public QPushButton
{
    Q_OBJECT

public:
    ManualCheckButton(const QString& text, QWidget* parent) : QPushButton(text, parent)
    {
        setCheckable(true);
        // Enter must never press a button of the main window (it does not close it either).
        setAutoDefault(false);
    }

protected:
    void nextCheckState() override {}
};

} // namespace VistelCapture
