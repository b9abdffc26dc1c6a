#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace tyq::ui {

// While a command runs, clicks and keys aimed at the window are dropped, and
// those that arrived meanwhile are dropped when the command ends, instead of
// being replayed against whatever the command left behind. Paint and other
// events go through, and so does input to the boxes a command opens.
class InputBlocker : public QObject {
    Q_OBJECT
  public:
    explicit InputBlocker(QWidget& window);
    ~InputBlocker() override;
    InputBlocker(const InputBlocker&) = delete;
    InputBlocker& operator=(const InputBlocker&) = delete;

    static bool isUserInput(const QEvent& event) noexcept;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool aimsAtWindow(QObject* receiver) const;
    QPointer<QWidget> window_;
};

}  // namespace tyq::ui
