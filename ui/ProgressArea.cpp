#include "ui/ProgressArea.h"

#include <QAccessible>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyleOptionProgressBar>
#include <QTimer>
#include <algorithm>

#include "download/TransferReport.h"
#include "ui/ControlIds.h"
#include "ui/DialogUnits.h"

namespace tyq::ui {

namespace {

constexpr char kSeparator[] = " \u00b7 ";
constexpr std::chrono::milliseconds kTick{500};
// The area's width in dialog units: from the caption to the status line's right edge.
constexpr int kWidth = 210;
// The status line and the detail start right of the caption.
constexpr int kTextLeft = 32;
constexpr int kDetailLines = 3;

QString sizeText(std::int64_t bytes) {
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

// "51.5 of 160.0 MB": the unit once where both share it.
QString sizesText(std::int64_t done, std::int64_t total) {
    QString first = sizeText(done);
    const QString second = sizeText(total);
    const auto unitAt = second.lastIndexOf(QLatin1Char(' '));
    if (unitAt > 0 && first.endsWith(second.mid(unitAt))) {
        first.chop(second.size() - unitAt);
    }
    return QStringLiteral("%1 of %2").arg(first, second);
}

QString timeLeftText(double seconds) {
    const auto whole = static_cast<long long>(seconds + 0.5);
    if (whole < 60) {
        return QStringLiteral("%1 s left").arg(whole);
    }
    if (whole < 3600) {
        return QStringLiteral("%1 min left").arg((whole + 30) / 60);
    }
    return QStringLiteral("%1 h %2 min left").arg(whole / 3600).arg((whole % 3600) / 60);
}

QString joined(QStringList parts) {
    parts.removeAll(QString());
    return parts.join(QString::fromUtf8(kSeparator));
}

}  // namespace

ProgressLine progressLine(const MeterReading& shown, const QString& item, bool fromServer) {
    ProgressLine line;
    if (shown.itemCount > 0) {
        line.count = QStringLiteral("%1 of %2 done").arg(shown.itemsDone).arg(shown.itemCount);
    }
    line.what = joined({item, line.count});
    line.bytes = shown.total >= 0 ? sizesText(shown.done, shown.total) : sizeText(shown.done);
    if (shown.percent >= 0) {
        line.brief = QStringLiteral("%1%").arg(shown.percent);
        line.bytes += QStringLiteral(" (%1)").arg(line.brief);
    } else {
        line.brief = sizeText(shown.done);
    }
    if (shown.waiting && fromServer) {
        line.left = QStringLiteral("waiting for the server");
        return line;
    }
    if (shown.rate > 0) {
        line.speed = sizeText(static_cast<std::int64_t>(shown.rate)) + QStringLiteral("/s");
    }
    if (shown.secondsLeft >= 0) {
        line.left = timeLeftText(shown.secondsLeft);
    }
    return line;
}

ProgressArea::ProgressArea(const DialogUnits& units, int left, int top, QWidget* parent,
                           std::function<Clock::time_point()> clock)
    : QWidget(parent), clock_(std::move(clock)) {
    setObjectName(QStringLiteral("progressArea"));
    auto* caption = new QLabel(QStringLiteral("Progress:"), this);
    caption->setObjectName(QStringLiteral("labelProgress"));
    units.place(*caption, 0, 3, 31, 12);
    status_ = new QLabel(this);
    status_->setObjectName(controlName(ids::kProgress));
    status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    status_->setLineWidth(1);
    status_->setWordWrap(true);
    status_->setTextFormat(Qt::PlainText);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    units.place(*status_, kTextLeft, 0, kWidth - kTextLeft, 20, false);
    // Screen readers name the box by its text and label it by its caption.
    caption->setBuddy(status_);
    // The longest text the box shows, the stock connection failure, must fit
    // whole with the font in use; the box grows downwards until it does.
    const auto unitsFor = [&units](int pixels) {
        return (pixels * 8 + units.baseY() - 1) / units.baseY();
    };
    status_->setText(QString::fromUtf8(download::kFtpExceptionText));
    const int textUnits = std::max(20, unitsFor(status_->heightForWidth(status_->width())) + 1);
    status_->clear();
    units.place(*status_, kTextLeft, 0, kWidth - kTextLeft, textUnits, false);

    // Why the last command ended as it did, in plain words. It wraps, and
    // what takes more than its lines scrolls: every word can be read.
    detail_ = new QPlainTextEdit(this);
    detail_->setObjectName(QStringLiteral("progressDetail"));
    detail_->setReadOnly(true);
    // A caret when it has the focus, so the keyboard's place shows.
    detail_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    detail_->setFrameShape(QFrame::NoFrame);
    detail_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    detail_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    detail_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    detail_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    detail_->setBackgroundVisible(false);
    detail_->viewport()->setAutoFillBackground(false);
    detail_->setAccessibleName(QStringLiteral("Details"));
    detail_->document()->setDocumentMargin(0);
    const int detailTop = textUnits + 1;
    // Whole lines only, so no line shows cut in half above the scroll.
    const int linesHigh = detail_->fontMetrics().height() * kDetailLines + 1;
    const int detailUnits = unitsFor(linesHigh);
    units.place(*detail_, kTextLeft, detailTop, kWidth - kTextLeft, detailUnits, false);
    detail_->resize(detail_->width(), linesHigh);
    updateDetailFocus();

    // The bar shows only while a command runs, Open Folder only while none
    // does; the row stays, so nothing jumps.
    const int barTop = detailTop + detailUnits + 2;
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->setRange(0, ProgressMeter::kFillRange);
    bar_->setTextVisible(true);
    bar_->setAlignment(Qt::AlignCenter);
    bar_->setAccessibleName(QStringLiteral("Progress"));
    units.place(*bar_, 0, barTop, kWidth, 11);
    bar_->hide();
    openFolder_ = new QPushButton(QString::fromUtf8(kOpenFolderText), this);
    openFolder_->setObjectName(QStringLiteral("openFolder"));
    openFolder_->setAutoDefault(false);
    openFolder_->setToolTip(QStringLiteral("Show the Location in the file manager"));
    units.place(*openFolder_, kWidth - 60, barTop, 60, 12);
    connect(openFolder_, &QPushButton::clicked, this, &ProgressArea::openFolderClicked);
    timer_ = new QTimer(this);
    timer_->setInterval(kTick);
    connect(timer_, &QTimer::timeout, this, &ProgressArea::refresh);

    barTop_ = top + barTop;
    const QRect area = units.toPixels(left, top, kWidth, barTop + 14);
    setGeometry(area);
}

void ProgressArea::setStatus(const QString& text) {
    status_->setText(text);
    // The label's name is its text: screen readers announce the change.
    QAccessibleEvent changed(status_, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
    status_->update();
}

void ProgressArea::setDetail(const QString& text) {
    // A size is not broken at the end of a line ("40.0" and "MB" apart);
    // the text copied out still has plain spaces.
    static const QRegularExpression size(QStringLiteral("(\\d) (bytes|kB|MB|GB|TB|PB|EB)\\b"));
    detail_->setPlainText(QString(text).replace(size, QStringLiteral("\\1\u00a0\\2")));
    updateDetailFocus();
}

void ProgressArea::updateDetailFocus() {
    // A Tab stop only when there is more than shows, so the keyboard can
    // scroll to it.
    const auto* scroll = detail_->verticalScrollBar();
    detail_->setFocusPolicy(scroll->maximum() > 0 ? Qt::StrongFocus : Qt::ClickFocus);
}

void ProgressArea::startRun() {
    running_ = true;
    meter_.start(clock_());
    item_.clear();
    // Texts first, so whoever hears of the value finds them.
    bar_->setFormat(QString());
    bar_->setAccessibleDescription(QString());
    bar_->setToolTip(QString());
    bar_->setValue(0);
    openFolder_->hide();
    bar_->show();
    timer_->start();
}

void ProgressArea::report(const ByteProgress& progress) {
    if (!running_) {
        return;  // a late count after the command ended
    }
    meter_.report(progress, clock_());
    item_ = QString::fromUtf8(progress.item.data(), static_cast<qsizetype>(progress.item.size()));
    refresh();
}

void ProgressArea::endRun() {
    running_ = false;
    timer_->stop();
    bar_->hide();
    openFolder_->show();
}

QString ProgressArea::fittedLine(const ProgressLine& line) const {
    // The room the style leaves for the text, less a margin at each end.
    QStyleOptionProgressBar option;
    option.initFrom(bar_);
    option.textVisible = true;
    const int room = style()->subElementRect(QStyle::SE_ProgressBarLabel, &option, bar_).width() -
                     bar_->fontMetrics().averageCharWidth();
    // What does not fit goes, least useful first; the percentage always
    // stays. The item's name goes before the byte counts, unless the status
    // line above names it already.
    const bool named = !item_.isEmpty() && status_->text().contains(item_);
    const QString candidates[] = {
        joined({line.what, line.bytes, line.speed, line.left}),
        named ? QString() : joined({line.what, line.brief, line.speed, line.left}),
        joined({line.count, line.bytes, line.speed, line.left}),
        joined({line.count, line.bytes, line.left}),
        named ? QString() : joined({line.what, line.brief, line.left}),
        joined({line.count, line.brief, line.left}),
        joined({line.count, line.brief}),
    };
    for (const QString& text : candidates) {
        if (text.isEmpty()) {
            continue;
        }
        if (bar_->fontMetrics().horizontalAdvance(text) <= room) {
            return text;
        }
    }
    return line.brief;
}

void ProgressArea::refresh() {
    if (!running_) {
        return;
    }
    const MeterReading shown = meter_.reading(clock_());
    if (!shown.reported) {
        return;
    }
    const ProgressLine line = progressLine(shown, item_, fromServer_);
    bar_->setFormat(fittedLine(line));
    // The whole story, whatever the bar had room for.
    const QString whole = joined({line.what, line.bytes, line.speed, line.left});
    if (whole != bar_->accessibleDescription()) {
        bar_->setAccessibleDescription(whole);
        bar_->setToolTip(whole);
    }
    // Last, so whoever hears of a new value finds the texts that go with it.
    bar_->setValue(std::clamp(shown.fill, 0, ProgressMeter::kFillRange));
}

void ProgressArea::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateDetailFocus();
    refresh();
}

}  // namespace tyq::ui
