#pragma once

#include <QString>
#include <QWidget>
#include <functional>

#include "common/MainWindowPort.h"
#include "ui/ProgressMeter.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace tyq::ui {

class DialogUnits;
struct ProgressLine;

inline constexpr char kOpenFolderText[] = "Open Folder";

// The main window's progress area: the "Progress:" caption, the status line
// (control 1007), the detail below it, and one row that holds the bar while
// a command runs and Open Folder while none does. The bar tells both
// commands' progress in one line: what is worked on and how many items are
// done, bytes of the total with the percentage, the rate and the time left.
class ProgressArea : public QWidget {
    Q_OBJECT
  public:
    using Clock = ProgressMeter::Clock;

    // Placed at left, top (dialog units) of the parent; clock is read for
    // every reading of the meter.
    ProgressArea(const DialogUnits& units, int left, int top, QWidget* parent,
                 std::function<Clock::time_point()> clock = &Clock::now);

    // Where the bar's row starts, in the parent's dialog units; the area
    // ends a few units below it.
    int barTop() const noexcept { return barTop_; }

    QLabel* statusLine() const noexcept { return status_; }
    void setStatus(const QString& text);
    void setDetail(const QString& text);

    // A command starts: the bar replaces Open Folder, empty until counts come.
    void startRun();
    void report(const ByteProgress& progress);
    // The command has ended: Open Folder is back.
    void endRun();
    // Reads the meter again without a new count, as the run's timer does.
    void refresh();
    // Whether a pause in the counts means the server keeps us waiting.
    void setWaitsOnServer(bool fromServer) { fromServer_ = fromServer; }

  signals:
    void openFolderClicked();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    // The bar's line: as much of the story as fits the bar, never cut.
    QString fittedLine(const ProgressLine& line) const;
    void updateDetailFocus();

    std::function<Clock::time_point()> clock_;
    int barTop_ = 0;
    bool fromServer_ = false;
    bool running_ = false;
    ProgressMeter meter_;
    QString item_;
    QLabel* status_ = nullptr;
    QPlainTextEdit* detail_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* openFolder_ = nullptr;
    QTimer* timer_ = nullptr;
};

// The line's parts for one reading, as the bar and screen readers get them.
struct ProgressLine {
    QString what;   // "QLM0102.ZIP · 2 of 5 done"
    QString count;  // "2 of 5 done"
    QString bytes;  // "51.5 of 160.0 MB (32%)"
    QString brief;  // "32%"
    QString speed;  // "3.0 MB/s"
    QString left;   // "36 s left", or the wait for the server
};
ProgressLine progressLine(const MeterReading& shown, const QString& item, bool fromServer);

}  // namespace tyq::ui
