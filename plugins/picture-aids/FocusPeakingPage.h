#pragma once

#include "../common/Reference.h"
#include "FocusPeakingProcessor.h"

#include <QWidget>

class QComboBox;
class QLabel;
class QSlider;
class QSpinBox;

namespace Vistel::PictureAids
{

class ScoreGraph;

// The page of "フォーカスピーキング": threshold and colour of the marks, the current score and
// the highest one of the last seconds, and the graph of the score. It reads the processor's
// results ten times a second and holds a reference to it, so it may outlive the selection.
class FocusPeakingPage final : public QWidget
{
public:
    FocusPeakingPage(FocusPeakingProcessor& processor, QWidget* parent);

    // Reads the latest results now (the timer does it by itself).
    void Refresh();

private:
    Vistel::Plugins::Reference<FocusPeakingProcessor> processor;
    QSlider* thresholdSlider;
    QSpinBox* thresholdBox;
    QComboBox* colorBox;
    QLabel* scoreValue;
    QLabel* peakValue;
    QLabel* regionValue;
    ScoreGraph* graph;
};

} // namespace Vistel::PictureAids
