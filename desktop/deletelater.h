#pragma once

#include <QObject>

#include <memory>

// Windows are often closed from inside their own event handlers; deleting them there would pull
// the object out from under the handler, so owners release them through the event loop.
struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

template <typename T> using LaterPtr = std::unique_ptr<T, DeleteLater>;
