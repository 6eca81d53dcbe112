#pragma once

#include "../common/Reference.h"
#include "ExposureWarningProcessor.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QSpinBox;

namespace Vistel::PictureAids
{

// The page of "露出警告": the high level, the dark warning and its level, and the share of the
// frame beyond each, read ten times a second. Holds a reference to the processor.
class ExposureWarningPage final : public QWidget
{
public:
    ExposureWarningPage(ExposureWarningProcessor& processor, QWidget* parent);

    // Reads the latest results now (the timer does it by itself).
    void Refresh();

private:
    void Apply();

    Vistel::Plugins::Reference<ExposureWarningProcessor> processor;
    QSpinBox* highLevelBox;
    QCheckBox* darkWarningBox;
    QSpinBox* darkLevelBox;
    QLabel* brightShareValue;
    QLabel* darkShareValue;
};

} // namespace Vistel::PictureAids
