#pragma once

#include "WindowPlacement.h"

#include <QDialog>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstdint>

class QFrame;
class QLabel;
class QMenu;
class QPropertyAnimation;
class QPushButton;
class QStatusBar;
class QTimer;
class QToolButton;

namespace Norvex::Core
{
class Exception;
}

namespace VistelCapture
{

class MainModel;
class PreviewWindow;
class SidePane;
template <class TButton> class ManualCheck;

// The program's only top-level window: the logo, the capture and side-pane toggles, the preview,
// the side pane and a status bar with the frame rate and the pixel read-out. It changes nothing
// itself: clicks become model operations, and every control follows the model's notifications.
//
// Thread: user-interface thread only. It listens to the model from construction until it closes.
class MainWindow final : public QDialog
{
    Q_OBJECT

public:
    explicit MainWindow(MainModel& model, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Enter and Escape never close the window: only closing it does.
    void accept() override {}
    void reject() override {}

    // The menu of the top band: the processor choice (only with more than one processor) and the
    // version box.
    QMenu& GetWindowMenu() const { return *windowMenu; }

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Return and Enter that a field leaves unused (a number box applies its value and passes the
    // key on) click no button of the window.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnMainModelPropertyChanged(int property);
    void OnCaptureButtonClicked();
    void ShowCaptureEnd(const Norvex::Core::Exception& reason);
    void OnSidePaneButtonClicked();
    void OnSidePaneVisibleChanged();
    void OnStatusBarVisibleChanged();
    void OnSlideFinished();
    void UpdateFrameRate();
    void UpdateRecordingPane();
    void ShowSelectProcessorDialog();
    void ShowAboutBox();
    void Layout();
    void Close();

    MainModel& model;

    QLabel* logo = nullptr;
    QFrame* previewFrame = nullptr;
    ManualCheck<QPushButton>* captureButton = nullptr;
    ManualCheck<QPushButton>* sidePaneButton = nullptr;
    QToolButton* menuButton = nullptr;
    QMenu* windowMenu = nullptr;
    PreviewWindow* preview = nullptr;
    SidePane* sidePane = nullptr;
    QStatusBar* statusBar = nullptr;
    QLabel* statusPanes[3] = {};
    // The running recording's time, frames written and frames dropped; the last recording's once
    // it ended, refreshed with the frame rate.
    QLabel* recordingPane = nullptr;
    QPropertyAnimation* sidePaneSlide = nullptr;
    QPropertyAnimation* statusBarSlide = nullptr;

    // The frame rate: frames the device delivered between two ticks of the timer, over the time
    // between them.
    QTimer* frameRateTimer = nullptr;
    std::chrono::steady_clock::time_point lastTick;
    std::int64_t lastFrameCount = 0;
    double framesPerSecond = 0.0;
    // Why capture stopped by itself, shown in the first pane instead of the rate until capture
    // starts again.
    QString stoppedText;

    // A stored size is a frame size; the window system tells the frame only once the window is
    // shown, so the client size is fitted then.
    WindowPlacement storedPlacement;
    bool frameFitPending = false;

    bool isListening = false;
};

} // namespace VistelCapture
