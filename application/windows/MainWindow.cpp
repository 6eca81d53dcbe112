#include "MainWindow.h"

#include "AboutBox.h"
#include "DialogUnits.h"
#include "Dialogs.h"
#include "GuardedApplication.h"
#include "MainModel.h"
#include "ManualCheck.h"
#include "PreviewWindow.h"
#include "QtText.h"
#include "SelectProcessorDialog.h"
#include "SidePane.h"
#include "VistelCaptureApp.h"
#include "WindowResources.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QCloseEvent>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPropertyAnimation>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include <cerrno>
#include <string>

using Norvex::Core::Exception;

namespace VistelCapture
{
namespace
{

constexpr int slideMilliseconds = 200;
constexpr int statusPaneWidth = 200;

} // namespace

MainWindow::MainWindow(MainModel& model, QWidget* parent) : QDialog(parent), model(model)
{
    InitializeWindowResources();
    // Template 102: "MS UI Gothic" 9 pt, 420 x 390 dialog units, resizable, with both boxes.
    const DialogUnits units(QStringLiteral("MS UI Gothic"), 9);
    setFont(units.GetFont());
    setWindowTitle(QStringLiteral("Vistel Capture"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(QStringLiteral(":/VistelCapture/icon.png")));
    setSizeGripEnabled(false);
    resize(units.ToPixels(420, 390));

    // A static picture takes its bitmap's size, whatever the template says.
    logo = new QLabel(this);
    logo->setPixmap(QPixmap(QStringLiteral(":/VistelCapture/logo.png")));
    logo->setAccessibleName(QStringLiteral("Vistel Capture"));
    logo->move(units.ToPixels(0, 0, 98, 19).topLeft());
    logo->resize(logo->pixmap().size());

    previewFrame = new QFrame(this);
    previewFrame->setFrameStyle(QFrame::Box | QFrame::Sunken); // etched
    previewFrame->setGeometry(units.ToPixels(0, 20, 419, 369));

    // Push-like check boxes that follow the model only; Enter must never press one.
    captureButton = new ManualCheck<QPushButton>(QStringLiteral("取り込み"), this);
    captureButton->setCheckable(true);
    captureButton->setAutoDefault(false);
    captureButton->setGeometry(units.ToPixels(375, 0, 34, 19));
    sidePaneButton = new ManualCheck<QPushButton>(QStringLiteral("<"), this);
    sidePaneButton->setCheckable(true);
    sidePaneButton->setAutoDefault(false);
    sidePaneButton->setGeometry(units.ToPixels(409, 0, 11, 19));
    connect(captureButton, &QPushButton::clicked, this, &MainWindow::OnCaptureButtonClicked);
    connect(sidePaneButton, &QPushButton::clicked, this, &MainWindow::OnSidePaneButtonClicked);

    // Window managers give a program no system menu of its own: its items open from the top band.
    windowMenu = new QMenu(this);
    if (model.GetProcessorEntries().size() > 1)
    {
        connect(windowMenu->addAction(QStringLiteral("処理選択(&S)...")), &QAction::triggered, this,
                &MainWindow::ShowSelectProcessorDialog);
        windowMenu->addSeparator();
    }
    connect(windowMenu->addAction(QStringLiteral("バージョン情報(&A)...")), &QAction::triggered, this,
            &MainWindow::ShowAboutBox);
    menuButton = new QToolButton(this);
    menuButton->setArrowType(Qt::DownArrow);
    menuButton->setPopupMode(QToolButton::InstantPopup);
    menuButton->setMenu(windowMenu);
    menuButton->setAccessibleName(QStringLiteral("メニュー"));
    menuButton->setToolTip(QStringLiteral("メニュー"));
    menuButton->setGeometry(QRect(captureButton->x() - sidePaneButton->width(), 0, sidePaneButton->width(),
                                  captureButton->height()));
    logo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(logo, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& position) { windowMenu->popup(logo->mapToGlobal(position)); });
    // The capture toggle is the first tab stop, so it has the focus when the window opens.
    setTabOrder(captureButton, sidePaneButton);
    setTabOrder(sidePaneButton, menuButton);

    // The preview is the target of the processor's repaint requests, and "全体" of the side pane
    // fits the picture into the preview's drawing area.
    preview = new PreviewWindow(model, previewFrame);
    preview->setGeometry(previewFrame->contentsRect());

    sidePane = new SidePane(model, this);
    // Nor one of the side pane's: a button would take Return for itself while it has the focus.
    for (auto* button : sidePane->findChildren<QPushButton*>())
    {
        button->setAutoDefault(false);
    }
    sidePane->SetPreviewSize([preview = QPointer<PreviewWindow>(preview)]
                             { return preview ? preview->viewport()->size() : QSize(); });
    sidePane->hide();

    statusBar = new QStatusBar(this);
    for (auto*& pane : statusPanes)
    {
        pane = new QLabel(statusBar);
        pane->setFixedWidth(statusPaneWidth);
        statusBar->addWidget(pane);
    }
    recordingPane = new QLabel(statusBar);
    statusBar->addWidget(recordingPane);
    statusPanes[0]->setText(QStringLiteral("FPS = 0"));
    statusBar->resize(width(), statusBar->sizeHint().height());
    statusBar->hide();

    sidePaneSlide = new QPropertyAnimation(sidePane, "pos", this);
    sidePaneSlide->setDuration(slideMilliseconds);
    statusBarSlide = new QPropertyAnimation(statusBar, "pos", this);
    statusBarSlide->setDuration(slideMilliseconds);
    connect(sidePaneSlide, &QAbstractAnimation::finished, this, &MainWindow::OnSlideFinished);
    connect(statusBarSlide, &QAbstractAnimation::finished, this, &MainWindow::OnSlideFinished);

    // An exception out of a processor's own page is that processor's failure, not the program's.
    if (auto* application = qobject_cast<GuardedApplication*>(QCoreApplication::instance()))
    {
        application->SetPluginFaultFilter(
            [this](QObject* receiver, std::exception_ptr exception)
            {
                const QWidget* page = sidePane->GetProcessorPage();
                for (QObject* object = receiver; page && object; object = object->parent())
                {
                    if (object == page)
                    {
                        this->model.ReportProcessorException("ControlPanel", exception);
                        return true;
                    }
                }
                return false;
            });
    }

    // The model answers with its whole state, which shows the side pane and the status bar.
    model.AddListener(this);
    isListening = true;

    // Never smaller than the top band's controls; a stored placement below that is not used.
    setMinimumSize(logo->width() + menuButton->width() + captureButton->width() + sidePaneButton->width(),
                   4 * logo->height());
    storedPlacement = WindowPlacement::Read(model.GetApplication().GetProfile());
    frameFitPending = storedPlacement.Apply(*this);

    lastTick = std::chrono::steady_clock::now();
    lastFrameCount = model.GetCapturedFrameCount();
    frameRateTimer = new QTimer(this);
    connect(frameRateTimer, &QTimer::timeout, this, &MainWindow::UpdateFrameRate);
    frameRateTimer->start(1000);
    captureButton->setFocus();
    Layout();
}

MainWindow::~MainWindow()
{
    if (auto* application = qobject_cast<GuardedApplication*>(QCoreApplication::instance()))
    {
        application->SetPluginFaultFilter(nullptr);
    }
    if (isListening)
    {
        model.RemoveListener(this);
    }
}

bool MainWindow::event(QEvent* event)
{
    if (event->type() == model.GetEventType())
    {
        OnMainModelPropertyChanged(static_cast<Norvex::Mfc::PropertyChangedEvent*>(event)->GetProperty());
        return true;
    }
    if (frameFitPending && (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
                            event->type() == QEvent::Show || event->type() == QEvent::UpdateRequest))
    {
        // The window manager framed the window: the stored size holds the frame too.
        frameFitPending = !storedPlacement.FitFrame(*this);
    }
    return QDialog::event(event);
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    Layout();
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        event->modifiers() == Qt::NoModifier)
    {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    Close();
    event->accept();
    done(QDialog::Rejected);
}

void MainWindow::Close()
{
    frameRateTimer->stop();
    model.StopCapture();
    model.StopRecording();
    if (isListening)
    {
        model.RemoveListener(this);
        isListening = false;
    }
    WindowPlacement placement = WindowPlacement::Capture(*this);
    if (frameFitPending && windowState() != Qt::WindowNoState)
    {
        // Opened maximised or minimised and never restored: the normal size was never shown.
        placement.KeepNormalFrameOf(storedPlacement);
    }
    if (!placement.Write(model.GetApplication().GetProfile()))
    {
        Norvex::Core::ThrowUnexpected("OnClose", NORVEX_SOURCE_FILE, __LINE__);
    }
}

void MainWindow::OnMainModelPropertyChanged(int property)
{
    switch (static_cast<MainModelProperty>(property))
    {
    case MainModelProperty::IsCapturing:
    {
        const bool capturing = model.IsCapturing();
        captureButton->setChecked(capturing);
        captureButton->setText(capturing ? QStringLiteral("停止") : QStringLiteral("取り込み"));
        if (capturing)
        {
            stoppedText.clear();
            statusPanes[0]->setToolTip({});
        }
        else if (const auto reason = model.GetCaptureEndReason())
        {
            ShowCaptureEnd(*reason);
        }
        break;
    }
    case MainModelProperty::DeviceList:
    {
        // Without a camera there is nothing to start; the preview says why. A camera that arrives
        // can be started with the keyboard at once.
        const bool wasEnabled = captureButton->isEnabled();
        captureButton->setEnabled(!model.GetDevices().empty());
        if (!wasEnabled && captureButton->isEnabled())
        {
            captureButton->setFocus();
        }
        break;
    }
    case MainModelProperty::IsSidePaneVisible:
        OnSidePaneVisibleChanged();
        break;
    case MainModelProperty::ProcessorFailed:
        // The processor is replaced by "なし" first, so the window works while the box is up. A
        // window that is closing says nothing: the failed processor is not stored either way.
        if (isListening)
        {
            if (const auto message = model.RecoverFromProcessorFailure())
            {
                Dialogs::Current().ShowError(this, ToQString(*message));
            }
        }
        break;
    case MainModelProperty::IsStatusBarVisible:
        OnStatusBarVisibleChanged();
        break;
    case MainModelProperty::IsRecording:
        UpdateRecordingPane();
        break;
    case MainModelProperty::RecordingWarning:
        for (const auto& warning : model.TakeRecordingWarnings())
        {
            Dialogs::Current().ShowWarning(this, ToQString(warning));
        }
        break;
    case MainModelProperty::IsCursorInImage:
        if (!model.IsCursorInImage)
        {
            statusPanes[1]->clear();
            statusPanes[2]->clear();
        }
        break;
    case MainModelProperty::CursorPosition:
        if (model.IsCursorInImage)
        {
            const auto position = model.GetCursorPosition();
            statusPanes[1]->setText(QStringLiteral("X = %1, Y = %2").arg(position.x).arg(position.y));
        }
        break;
    case MainModelProperty::CursorPixel:
        if (model.IsCursorInImage)
        {
            // A copy taken under the device's frame lock, never the frame the capture thread writes.
            const auto pixel = model.GetCursorPixel();
            statusPanes[2]->setText(
                QStringLiteral("R = %1, G = %2, B = %3").arg(pixel.red).arg(pixel.green).arg(pixel.blue));
        }
        break;
    default:
        break;
    }
}

void MainWindow::ShowCaptureEnd(const Exception& reason)
{
    const QString text = ToQString(model.GetApplication().ComposeErrorText(reason)).trimmed();
    stoppedText = reason.GetErrorCode() == Norvex::Core::HRESULT_FROM_WIN32(ENODEV)
                      ? QStringLiteral("カメラが取り外されました")
                      : QStringLiteral("取り込み停止: ") + text;
    statusPanes[0]->setText(stoppedText);
    statusPanes[0]->setToolTip(text);
}

void MainWindow::OnSidePaneVisibleChanged()
{
    sidePaneSlide->stop();
    if (model.IsSidePaneVisible)
    {
        sidePaneButton->setText(QStringLiteral(">"));
        sidePaneButton->setChecked(true);
        const QPoint from = sidePane->isVisible() ? sidePane->pos() : QPoint(width(), 0);
        Layout();
        sidePaneSlide->setStartValue(from);
        sidePaneSlide->setEndValue(sidePane->pos());
        sidePane->move(from);
        sidePane->show();
        sidePane->raise();
        sidePaneSlide->start();
        if (model.ControlPanelPage != 0)
        {
            sidePane->update();
        }
        return;
    }
    if (sidePane->isVisible())
    {
        // Out to the right; the layout follows once it is gone (OnSlideFinished).
        sidePaneSlide->setStartValue(sidePane->pos());
        sidePaneSlide->setEndValue(QPoint(width(), sidePane->y()));
        sidePaneSlide->start();
    }
    else
    {
        Layout();
    }
    sidePaneButton->setText(QStringLiteral("<"));
    sidePaneButton->setChecked(false);
}

void MainWindow::OnStatusBarVisibleChanged()
{
    statusBarSlide->stop();
    if (model.IsStatusBarVisible)
    {
        const QPoint from = statusBar->isVisible() ? statusBar->pos() : QPoint(0, height());
        Layout();
        statusBarSlide->setStartValue(from);
        statusBarSlide->setEndValue(statusBar->pos());
        statusBar->move(from);
        statusBar->show();
        statusBar->raise();
        statusBarSlide->start();
        return;
    }
    if (statusBar->isVisible())
    {
        statusBarSlide->setStartValue(statusBar->pos());
        statusBarSlide->setEndValue(QPoint(statusBar->x(), height()));
        statusBarSlide->start();
    }
    else
    {
        Layout();
    }
}

void MainWindow::OnSlideFinished()
{
    if (!model.IsSidePaneVisible && sidePaneSlide->state() == QAbstractAnimation::Stopped)
    {
        sidePane->hide();
    }
    if (!model.IsStatusBarVisible && statusBarSlide->state() == QAbstractAnimation::Stopped)
    {
        statusBar->hide();
    }
    Layout();
}

void MainWindow::Layout()
{
    if (!logo || !previewFrame || !preview || !statusBar || !sidePane)
    {
        return;
    }
    const int windowWidth = width();
    const int windowHeight = height();

    // A widget that is sliding in keeps sliding: it only learns where it is to stop.
    const auto place = [](QWidget* widget, QPropertyAnimation* slide, const QRect& rectangle)
    {
        if (slide->state() == QAbstractAnimation::Running)
        {
            widget->resize(rectangle.size());
            slide->setEndValue(rectangle.topLeft());
        }
        else
        {
            widget->setGeometry(rectangle);
        }
    };

    int bottom = 0;
    if (model.IsStatusBarVisible)
    {
        bottom = statusBar->height();
        place(statusBar, statusBarSlide, QRect(0, windowHeight - bottom, windowWidth, bottom));
    }
    int column = 0;
    if (model.IsSidePaneVisible)
    {
        column = sidePane->width();
        place(sidePane, sidePaneSlide, QRect(windowWidth - column, 0, column, windowHeight - bottom));
    }
    const int band = logo->height();
    sidePaneButton->setGeometry(windowWidth - column - sidePaneButton->width(), sidePaneButton->y(),
                                sidePaneButton->width(), band);
    captureButton->setGeometry(sidePaneButton->x() - captureButton->width(), captureButton->y(),
                               captureButton->width(), band);
    menuButton->setGeometry(captureButton->x() - menuButton->width(), menuButton->y(), menuButton->width(),
                            band);
    previewFrame->setGeometry(previewFrame->x(), band, windowWidth - previewFrame->x() - column,
                              windowHeight - band - bottom);
    preview->setGeometry(previewFrame->contentsRect());
}

void MainWindow::UpdateFrameRate()
{
    const auto now = std::chrono::steady_clock::now();
    const std::int64_t frames = model.GetCapturedFrameCount();
    const double seconds = std::chrono::duration<double>(now - lastTick).count();
    framesPerSecond = seconds > 0.0 ? static_cast<double>(frames - lastFrameCount) / seconds : 0.0;
    lastTick = now;
    lastFrameCount = frames;
    if (model.IsRecording())
    {
        UpdateRecordingPane();
    }
    if (stoppedText.isEmpty())
    {
        statusPanes[0]->setText(QStringLiteral("FPS = ") + ToQString(std::to_wstring(framesPerSecond)));
    }
}

void MainWindow::UpdateRecordingPane()
{
    const auto status = model.GetRecordingStatus();
    if (!status.recording && status.elapsed == RecordingHealth::Clock::duration::zero())
    {
        return; // no recording yet
    }
    recordingPane->setText(QStringLiteral("%1 %2, %3 フレーム, 欠落 %4")
                               .arg(status.recording ? QStringLiteral("録画中") : QStringLiteral("録画済み"))
                               .arg(ToQString(RecordingHealth::FormatElapsed(status.elapsed)))
                               .arg(status.written)
                               .arg(status.dropped));
}

void MainWindow::OnCaptureButtonClicked()
{
    try
    {
        if (model.IsCapturing())
        {
            model.StopCapture();
        }
        else
        {
            model.StartCapture();
        }
    }
    catch (const Exception& exception)
    {
        Dialogs::Current().ShowError(this, ToQString(model.GetApplication().ComposeErrorText(exception)));
    }
    catch (...)
    {
        Dialogs::Current().ShowError(this, QStringLiteral("未知のエラーが発生しました。"));
    }
}

void MainWindow::OnSidePaneButtonClicked()
{
    model.SetSetting(model.IsSidePaneVisible, !model.IsSidePaneVisible, MainModelProperty::IsSidePaneVisible);
}

void MainWindow::ShowSelectProcessorDialog()
{
    SelectProcessorDialog dialog(model, this);
    Dialogs::Current().Exec(dialog);
}

void MainWindow::ShowAboutBox()
{
    AboutBox box(model.GetApplication(), this);
    Dialogs::Current().Exec(box);
}

} // namespace VistelCapture
