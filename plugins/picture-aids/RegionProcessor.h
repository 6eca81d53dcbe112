#pragma once

#include "PictureAidProcessor.h"
#include "RegionSelection.h"

#include <mutex>

namespace Vistel::PictureAids
{

// An inspection processor that measures inside a rectangle the user drags on the preview (the
// whole frame until then): it claims the pointer, draws the rectangle with its size, asks the
// preview to repaint when it changes, and keeps it per frame size in its INI section.
class RegionProcessor : public PictureAidProcessor
{
public:
    Norvex::Core::HRESULT Initialize(Vistel::Framework::IHostServices* hostServices) override;
    Norvex::Core::HRESULT OnDraw2d(QPainter* painter, double scale) override;
    Norvex::Core::HRESULT OnLButtonDown(std::uint32_t flags, const Vistel::Framework::Point2F* point,
                                        bool* captureMouse) override;
    Norvex::Core::HRESULT OnLButtonUp(std::uint32_t flags, const Vistel::Framework::Point2F* point) override;
    Norvex::Core::HRESULT OnMouseMove(std::uint32_t flags, const Vistel::Framework::Point2F* point) override;

    // User-interface thread: back to the whole frame, stored as such.
    void ClearRegion();
    // Any thread: the chosen rectangle in the pixels of the frame size it was chosen on; empty
    // for the whole frame.
    cv::Rect ChosenRegion() const;

protected:
    explicit RegionProcessor(std::wstring section);

private:
    void OnFrameSizeChanged(cv::Size size) override;
    void FollowFrameSize();
    void Publish(bool repaint);

    RegionSelection region; // user-interface thread only

    mutable std::mutex regionMutex; // taken alone, briefly
    cv::Rect chosen;                // guarded by regionMutex
};

} // namespace Vistel::PictureAids
