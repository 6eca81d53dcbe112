#pragma once

namespace VistelCapture
{

// What changed in the main model; every window dispatches on these identifiers (the int value
// travels in the posted event).
enum class MainModelProperty : int
{
    CaptureDevice = 0,
    CurrentFrameFormat = 1,
    IsCapturing = 2,
    Frame = 3,
    DebugMessage = 4,
    Processor = 5,
    ViewRatio = 6,
    IsMarkerVisible = 7,
    MarkerPosition = 8,
    MarkerColor = 9,
    IsProfileVisible = 10,
    Profile = 11,
    IsSidePaneVisible = 12,
    FocusRange = 13,
    IsFocusAuto = 14,
    FocusPosition = 15,
    ControlPanelPage = 16,
    IsStatusBarVisible = 17,
    IsCursorInImage = 18,
    CursorPosition = 19,
    CursorPixel = 20,
    SaveTarget = 21,
    FileFormat = 22,
    MovieBitRate = 23,
    IsRecording = 24,
    // A processor's call failed; the user-interface thread answers with
    // MainModel::RecoverFromProcessorFailure.
    ProcessorFailed = 25,
    RecordingInterval = 26,
    // The recorder has words for the user (MainModel::TakeRecordingWarnings).
    RecordingWarning = 27,
    IsTimestampFileEnabled = 28,
    // Cameras came or went: the device list is another (the current device may be the same).
    DeviceList = 29,
};

} // namespace VistelCapture
