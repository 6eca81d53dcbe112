#pragma once

#include <QApplication>
#include <QTranslator>

#include <exception>
#include <functional>

namespace VistelCapture
{

// The Qt application of the windows. Qt lets no exception cross its event loop, so every
// exception that leaves an event handler is caught where the event is delivered (notify) and
// handed to the top-level handler: by default the "エラー" box with the composed text, then the
// end of the run with exit code 1 (every open modal dialog is rejected, so QDialog::exec and
// QApplication::exec both return). Qt's own texts (the file, folder and colour dialogs, standard
// buttons) are Japanese like the window's, whatever the locale.
//
// Thread: user-interface thread only.
class GuardedApplication final : public QApplication
{
    Q_OBJECT

public:
    GuardedApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Replaces the default handler (an empty function restores it).
    void SetTopLevelHandler(std::function<void(std::exception_ptr)> handler);
    // Asked first about every exception that leaves an event handler: true when it was a plug-in's
    // to report (an event of a processor's own page), which then never reaches the top-level
    // handler. An empty function removes it.
    void SetPluginFaultFilter(std::function<bool(QObject* receiver, std::exception_ptr)> filter);
    // True once an error reached the top-level handler; the program then exits non-zero.
    bool HasFailed() const noexcept { return failed; }

    // For exceptions caught outside event delivery (a timer's lambda, a queued call). Only the
    // first error of a run is handed on: the run is ending, and a handler that keeps failing
    // (a paint under the error box) must not stack boxes.
    static void HandleException(std::exception_ptr exception);

    // Runs one handler that Qt calls from its own frames, which no exception may cross: what it
    // throws goes to HandleException.
    template <class Handler> static void Run(Handler&& handler)
    {
        try
        {
            handler();
        }
        catch (...)
        {
            HandleException(std::current_exception());
        }
    }

    // Shows the "エラー" box for the exception and ends the run.
    static void ShowAndExit(std::exception_ptr exception);

private:
    QTranslator qtTexts;
    std::function<void(std::exception_ptr)> topLevelHandler;
    std::function<bool(QObject*, std::exception_ptr)> pluginFaultFilter;
    bool failed = false;
};

} // namespace VistelCapture
