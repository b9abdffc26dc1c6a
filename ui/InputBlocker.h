#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

namespace tyq::ui {

// While a command runs, clicks and keys aimed at the window are dropped, and
// those that arrived meanwhile are dropped when the command ends, instead of
// being replayed against whatever the command left behind. Paint and other
// events go through, and so does input to the boxes a command opens, and
// whatever input the pass-through predicate lets by (the way to stop).
class InputBlocker : public QObject {
    Q_OBJECT
  public:
    using PassThrough = std::function<bool(QObject* receiver, const QEvent& event)>;
    explicit InputBlocker(QWidget& window, PassThrough passThrough = {});
    ~InputBlocker() override;
    InputBlocker(const InputBlocker&) = delete;
    InputBlocker& operator=(const InputBlocker&) = delete;

    static bool isUserInput(const QEvent& event) noexcept;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool aimsAtWindow(QObject* receiver) const;
    QPointer<QWidget> window_;
    PassThrough passThrough_;
};

}  // namespace tyq::ui
