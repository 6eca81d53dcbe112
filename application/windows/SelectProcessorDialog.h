#pragma once

#include <QDialog>

class QListWidget;

namespace VistelCapture
{

class MainModel;

// "処理選択": the model's processors in its order with the active one highlighted. OK selects the
// highlighted one; Cancel, Escape and the close box change nothing.
class SelectProcessorDialog final : public QDialog
{
    Q_OBJECT

public:
    SelectProcessorDialog(MainModel& model, QWidget* parent = nullptr);

    QListWidget& GetList() const { return *list; }

    void accept() override;

private:
    MainModel& model;
    QListWidget* list = nullptr;
};

} // namespace VistelCapture
