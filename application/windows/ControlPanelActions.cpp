// What ControlPanel's buttons do: fit the picture to the preview, save a snapshot, start and stop a
// recording, step the focus. The panel's layout and its following of the model are in
// ControlPanel.cpp.

#include "ControlPanel.h"

#include "Dialogs.h"
#include "FileFormatTable.h"
#include "MainModel.h"
#include "QtText.h"
#include "VistelCaptureApp.h"

#include <algorithm>
#include <cmath>

namespace VistelCapture
{

void ControlPanel::FitToPreview()
{
    const QSize view = previewSize ? previewSize() : QSize();
    const auto& format = model.GetCurrentFrameFormat();
    if (format.width <= 0 || format.height <= 0)
    {
        return;
    }
    const double scale = std::min(static_cast<double>(std::max(0, view.height())) / format.height,
                                  static_cast<double>(std::max(0, view.width())) / format.width);
    // Truncated, so the whole frame fits; clamped by the model (the bound here only keeps the
    // conversion to an integer in range).
    model.SetViewRatio(static_cast<std::int32_t>(std::min(100.0 * scale, 1e6)));
}

QString ControlPanel::SaveFilter(std::int32_t fileFormat)
{
    const auto* row = FileFormatTable::Find(fileFormat);
    return row ? QString::fromUtf8(row->dialogFilter) : QString();
}

QString ControlPanel::DefaultSuffix(std::int32_t fileFormat)
{
    const auto* row = FileFormatTable::Find(fileFormat);
    return row ? ToQString(std::wstring(row->Suffix())) : QString();
}

void ControlPanel::ShowFailure(const std::function<void()>& action)
{
    try
    {
        action();
    }
    catch (const Norvex::Core::Exception& exception)
    {
        Dialogs::Current().ShowError(this, ToQString(model.GetApplication().ComposeErrorText(exception)));
    }
    catch (...)
    {
        Dialogs::Current().ShowError(this, QStringLiteral("未知のエラーが発生しました。"));
    }
}

void ControlPanel::Snapshot()
{
    ShowFailure(
        [this]
        {
            const auto& format = model.GetCurrentFrameFormat();
            MainModel::Image image(format.width, format.height);
            const auto info = model.CopyFrame(image);
            const std::int32_t fileFormat = model.FileFormat.load();
            // A movie format appends to the open movie; while stills are recorded a snap is one
            // more time-stamped file.
            if (FileFormatTable::IsMovie(fileFormat) || model.IsRecording())
            {
                model.SaveFrame(image, {}, info);
                return;
            }
            if (const auto path = Dialogs::Current().GetSaveFileName(
                    this, Dialogs::ToQtFilter(SaveFilter(fileFormat)), DefaultSuffix(fileFormat)))
            {
                model.SaveFrame(image, ToWideString(*path));
            }
        });
}

void ControlPanel::ToggleRecording()
{
    ShowFailure(
        [this]
        {
            if (model.IsRecording())
            {
                model.StopRecording();
                return;
            }
            const std::int32_t fileFormat = model.FileFormat.load();
            if (!FileFormatTable::IsMovie(fileFormat))
            {
                if (const auto folder = Dialogs::Current().GetExistingDirectory(
                        this, QStringLiteral("出力先フォルダーの選択"), ToQString(model.GetSaveFolder())))
                {
                    model.StartRecording(ToWideString(*folder));
                }
                return;
            }
            if (const auto path = Dialogs::Current().GetSaveFileName(
                    this, Dialogs::ToQtFilter(SaveFilter(fileFormat)), DefaultSuffix(fileFormat)))
            {
                // A format outside the list reaches the model, which refuses it with its own text.
                model.StartRecording(ToWideString(*path));
            }
        });
}

void ControlPanel::StepFocus(int steps)
{
    const auto focus = model.GetFocusInformation();
    model.SetFocusPosition(focus.position + steps * focus.step);
}

} // namespace VistelCapture
