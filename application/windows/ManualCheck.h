#pragma once

namespace VistelCapture
{

// A check box or checkable push button that does not toggle itself when clicked: it shows the
// model's state, set from notifications, and a click only asks for a change (clicked() still
// fires). A click the model refuses therefore leaves the control truthful.
template <class TButton> class ManualCheck final : public TButton
{
public:
    using TButton::TButton;

protected:
    void nextCheckState() override {}
};

} // namespace VistelCapture
