#include "ui/InputBlocker.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWindow>

namespace tyq::ui {

InputBlocker::InputBlocker(QWidget& window, PassThrough passThrough)
    : window_(&window), passThrough_(std::move(passThrough)) {
    QCoreApplication::instance()->installEventFilter(this);
}

InputBlocker::~InputBlocker() {
    // Input that queued up while the command ran is delivered now, while the
    // filter still drops it.
    // Two passes: the first reads the window system's queue, the second
    // delivers what the first turned into events.
    for (int pass = 0; pass < 2; ++pass) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    QCoreApplication::instance()->removeEventFilter(this);
}

bool InputBlocker::isUserInput(const QEvent& event) noexcept {
    switch (event.type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::TabletMove:
            return true;
        default:
            return false;
    }
}

bool InputBlocker::aimsAtWindow(QObject* receiver) const {
    if (window_ == nullptr || receiver == nullptr) {
        return false;
    }
    if (receiver->isWidgetType()) {
        return static_cast<QWidget*>(receiver)->window() == window_;
    }
    if (auto* window = qobject_cast<QWindow*>(receiver)) {
        return window == window_->windowHandle();
    }
    return false;
}

bool InputBlocker::eventFilter(QObject* watched, QEvent* event) {
    if (event != nullptr && isUserInput(*event) && aimsAtWindow(watched) &&
        !(passThrough_ && passThrough_(watched, *event))) {
        event->accept();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace tyq::ui
