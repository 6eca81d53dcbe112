#pragma once

#include <QSlider>

class QWheelEvent;

namespace Norvex::Mfc
{

// A horizontal slider whose every user move reaches the owner through one signal, Scrolled, with
// the kind of move and the position the slider settled on. One wheel notch moves a fiftieth of
// the range, upwards increasing; keys, page clicks and dragging keep QSlider's own handling (a
// line is 1, a page 10). Positions set by the program (setValue) are not announced, so an owner
// that sets the slider from its model never writes the value back.
//
// Thread: user-interface thread only.
class SliderControl : public QSlider
{
    Q_OBJECT

public:
    // The kinds of move, numbered like the scroll requests of the trackbars they stand for.
    enum class Request : int
    {
        LineUp = 0,   // one line towards the minimum
        LineDown = 1, // one line towards the maximum
        PageUp = 2,
        PageDown = 3,
        ThumbPosition = 4, // the thumb was put at a position (a wheel notch, a click-jump)
        ThumbTrack = 5,    // the thumb is being dragged
        Top = 6,           // to the minimum
        Bottom = 7,        // to the maximum
        EndTrack = 8,      // the drag ended
    };
    Q_ENUM(Request)

    explicit SliderControl(QWidget* parent = nullptr);

    // The position a wheel turn of delta (120 a notch) moves p to on [minimum, maximum]: p plus
    // (maximum - minimum) / 50 * delta / 120, rounded half away from zero, clamped.
    static int WheelPosition(int minimum, int maximum, int p, int delta) noexcept;

signals:
    // Once per user move, after the slider holds `position`.
    void Scrolled(Norvex::Mfc::SliderControl::Request request, int position);

protected:
    void wheelEvent(QWheelEvent* event) override;

private:
    void OnActionTriggered(int action);
};

} // namespace Norvex::Mfc
