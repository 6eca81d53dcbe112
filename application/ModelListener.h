#pragma once

#include "MainModelProperty.h"

#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QEvent>
#include <QObject>

#include <functional>
#include <utility>

namespace VistelCapture
{

// Runs a handler for every announcement of the model, on this thread.
class ModelListener final : public QObject
{
public:
    explicit ModelListener(std::function<void(MainModelProperty)> handler) : handler(std::move(handler)) {}

    bool event(QEvent* event) override
    {
        if (event->type() != Norvex::Mfc::PropertyChangedEvent::DefaultType())
        {
            return QObject::event(event);
        }
        handler(static_cast<MainModelProperty>(
            static_cast<Norvex::Mfc::PropertyChangedEvent*>(event)->GetProperty()));
        return true;
    }

private:
    std::function<void(MainModelProperty)> handler;
};

} // namespace VistelCapture
