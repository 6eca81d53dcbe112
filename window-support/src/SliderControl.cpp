#include <Norvex/Mfc/SliderControl.h>

#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace Norvex::Mfc
{

SliderControl::SliderControl(QWidget* parent) : QSlider(Qt::Horizontal, parent)
{
    setSingleStep(1);
    setPageStep(10);
    // actionTriggered fires for user moves only, with sliderPosition() already moved and the value
    // about to follow it.
    connect(this, &QAbstractSlider::actionTriggered, this, &SliderControl::OnActionTriggered);
    connect(this, &QAbstractSlider::sliderReleased, this,
            [this] { emit Scrolled(Request::EndTrack, value()); });
}

int SliderControl::WheelPosition(int minimum, int maximum, int p, int delta) noexcept
{
    const double step = static_cast<double>(maximum - minimum) / 50.0 * delta / 120.0;
    // std::lround rounds halves away from zero.
    const long moved = std::lround(static_cast<double>(p) + step);
    return static_cast<int>(std::clamp<long>(moved, minimum, maximum));
}

void SliderControl::wheelEvent(QWheelEvent* event)
{
    // Consumed whatever it holds: the wheel over a slider never scrolls the panel behind it.
    event->accept();
    const int delta = event->angleDelta().y();
    if (delta == 0)
    {
        return;
    }
    setValue(WheelPosition(minimum(), maximum(), value(), delta));
    emit Scrolled(Request::ThumbPosition, value());
}

void SliderControl::OnActionTriggered(int action)
{
    const int position = sliderPosition();
    switch (static_cast<SliderAction>(action))
    {
    case SliderSingleStepAdd:
        emit Scrolled(Request::LineDown, position);
        break;
    case SliderSingleStepSub:
        emit Scrolled(Request::LineUp, position);
        break;
    case SliderPageStepAdd:
        emit Scrolled(Request::PageDown, position);
        break;
    case SliderPageStepSub:
        emit Scrolled(Request::PageUp, position);
        break;
    case SliderToMinimum:
        emit Scrolled(Request::Top, position);
        break;
    case SliderToMaximum:
        emit Scrolled(Request::Bottom, position);
        break;
    case SliderMove:
        emit Scrolled(isSliderDown() ? Request::ThumbTrack : Request::ThumbPosition, position);
        break;
    case SliderNoAction:
        break;
    }
}

} // namespace Norvex::Mfc
