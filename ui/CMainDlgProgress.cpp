// The window's progress display: the status line and its detail, the bar
// while a command runs, the summary and notification at its end, and Open
// Folder.

#include <QAccessible>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QTextLayout>
#include <QUrl>
#include <algorithm>
#include <cstdio>

#include "common/Paths.h"
#include "common/Texts.h"
#include "ui/CMainDlg.h"
#include "ui/TextBytes.h"

namespace tyq::ui {

namespace {

constexpr int kBarRange = ProgressMeter::kFillRange;
constexpr int kDetailLines = 3;
constexpr char kEllipsis[] = "...";
constexpr char kFileManager[] = "org.freedesktop.FileManager1";
constexpr char kFileManagerPath[] = "/org/freedesktop/FileManager1";
constexpr char kNotifications[] = "org.freedesktop.Notifications";
constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
constexpr char kOpenFolderAction[] = "open-folder";

QString sizeText(std::int64_t bytes) {
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QString tookText(std::chrono::steady_clock::duration took) {
    const auto whole = std::chrono::round<std::chrono::seconds>(took).count();
    if (whole < 60) {
        return QStringLiteral("%1 s").arg(whole);
    }
    if (whole < 3600) {
        return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60);
    }
    return QStringLiteral("%1 h %2 min").arg(whole / 3600).arg((whole % 3600) / 60);
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

}  // namespace

void CMainDlg::setProgressBytes(const ByteProgress& progress) {
    if (job_ == nullptr) {
        return;  // a late count after the command ended
    }
    lastProgress_ = progress;
    meter_.report(progress, ProgressMeter::Clock::now());
    // The tool tip names the item; the meter keeps only the numbers.
    meterItem_ =
        QString::fromUtf8(progress.item.data(), static_cast<qsizetype>(progress.item.size()));
    showMeter();
}

void CMainDlg::showMeter() {
    const MeterReading shown = meter_.reading(ProgressMeter::Clock::now());
    if (!shown.reported) {
        return;
    }
    QString count;
    if (shown.itemCount > 0) {
        count =
            QStringLiteral("%1 %2 of %3").arg(itemWord_).arg(shown.itemNumber).arg(shown.itemCount);
    }
    QString bytes =
        shown.total >= 0
            ? QStringLiteral("%1 of %2").arg(sizeText(shown.done), sizeText(shown.total))
            : sizeText(shown.done);
    if (shown.percent >= 0) {
        bytes += QStringLiteral(" (%1%)").arg(shown.percent);
    }
    // Where the bar has no room for the byte counts, the percentage stands
    // in for them.
    const QString brief =
        shown.percent >= 0 ? QStringLiteral("%1%").arg(shown.percent) : sizeText(shown.done);
    QString speed;
    QString left;
    QString waiting;
    if (shown.waiting && fromServer_) {
        waiting = QStringLiteral("waiting for the server");
    } else if (shown.rate > 0) {
        speed = sizeText(static_cast<std::int64_t>(shown.rate)) + QStringLiteral("/s");
        if (shown.secondsLeft >= 0) {
            left = timeLeftText(shown.secondsLeft);
        }
    }
    // What does not fit goes, least useful first; the count and a wait stay.
    const int room = bar_->width() - bar_->fontMetrics().averageCharWidth() * 2;
    QString text;
    for (const QStringList& parts :
         {QStringList{count, bytes, speed, left, waiting}, QStringList{count, bytes, left, waiting},
          QStringList{count, brief, speed, left, waiting}, QStringList{count, brief, left, waiting},
          QStringList{count, left, waiting}, QStringList{count}}) {
        QStringList kept = parts;
        kept.removeAll(QString());
        text = kept.join(QStringLiteral(" \u00b7 "));
        if (bar_->fontMetrics().horizontalAdvance(text) <= room) {
            break;
        }
    }
    bar_->setFormat(text);
    // The whole story, whatever the bar had room for.
    QStringList tip{meterItem_, count, bytes, speed, left, waiting};
    tip.removeAll(QString());
    const QString whole = tip.join(QStringLiteral(" \u00b7 "));
    if (whole != bar_->toolTip()) {
        bar_->setToolTip(whole);
        bar_->setAccessibleDescription(whole);
    }
    // Last, so whoever hears of a new value finds the texts that go with it.
    bar_->setValue(std::min(shown.fill, kBarRange));
}

QString CMainDlg::folderShown() const {
    const std::string local = expandHome(settingBytesFor(local_->text(), shown_[3]));
    if (local.empty()) {
        return {};
    }
    return QDir::cleanPath(QDir::current().absoluteFilePath(fromSettingBytes(local)));
}

void CMainDlg::sumUp(const commands::CommandOutcome& outcome,
                     std::chrono::steady_clock::duration took) {
    // Only where the command left no explanation of its own.
    QString detail = QString::fromStdString(outcome.detail);
    if (outcome.detail.empty() && outcome.items > 0) {
        const int count = outcome.items;
        detail = QStringLiteral("%1 %2%3 \u00b7 %4 \u00b7 %5 \u00b7 %6")
                     .arg(count)
                     .arg(itemWord_.toLower(), count == 1 ? QString() : QStringLiteral("s"),
                          sizeText(outcome.bytes), tookText(took), folderShown());
        setProgressDetail(detail.toStdString());
    }
    if (took < hooks_.notifyAfter || isActiveWindow()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;  // no desktop session to tell
    }
    if (notification_ == 0) {
        bus.connect(kNotifications, kNotificationsPath, kNotifications,
                    QStringLiteral("ActionInvoked"), this,
                    SLOT(onNotificationAction(uint, QString)));
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(kNotifications, kNotificationsPath,
                                                         kNotifications, QStringLiteral("Notify"));
    // The body may be read as markup. The detail goes whole: the label's is
    // broken into its lines and may end in an ellipsis.
    notify << QString::fromUtf8(kProgramName) << notification_ << QString::fromUtf8(kProgramName)
           << QString::fromStdString(outcome.headline) << detail.toHtmlEscaped()
           << QStringList{kOpenFolderAction, QString::fromUtf8(kOpenFolderText)} << QVariantMap{}
           << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isValid()) {
                    notification_ = reply.value();
                } else {
                    std::fprintf(stderr, "tyqlmftp: no desktop notification: %s\n",
                                 qPrintable(reply.error().message()));
                }
                finished->deleteLater();
            });
}

void CMainDlg::onNotificationAction(uint id, const QString& action) {
    if (id == notification_ && action == QLatin1String(kOpenFolderAction)) {
        runCommand([this] { openFolder(); });
    }
}

void CMainDlg::openFolder() {
    const QString folder = folderShown();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        const QString text = folder.isEmpty()
                                 ? QStringLiteral("Enter the Location first.")
                                 : QStringLiteral("The folder %1 does not exist yet.").arg(folder);
        prompter_.ask(Prompt{text.toStdString(), PromptButtons::Ok, PromptIcon::Information,
                             PromptOwner::MainWindow});
        return;
    }
    const QUrl url = QUrl::fromLocalFile(folder);
    const auto byHandler = [this, url, folder] {
        if (!QDesktopServices::openUrl(url)) {
            prompter_.ask(Prompt{
                toSettingBytes(QStringLiteral("The folder %1 could not be opened.").arg(folder)),
                PromptButtons::Ok, PromptIcon::Error, PromptOwner::MainWindow});
        }
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        byHandler();
        return;
    }
    QDBusMessage show = QDBusMessage::createMethodCall(kFileManager, kFileManagerPath, kFileManager,
                                                       QStringLiteral("ShowFolders"));
    show << QStringList{url.toString()} << QString();
    // Not waited for: a file manager started on demand may take its time.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(show), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, byHandler](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (finished->isError()) {
                    runCommand(byHandler);
                }
            });
}

void CMainDlg::setProgressText(const std::string& text) {
    progress_->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    // The label's name is its text: screen readers announce the change.
    QAccessibleEvent changed(progress_, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
    progress_->update();
}

void CMainDlg::setProgressDetail(const std::string& text) {
    const QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    detailText_ = shown;
    fitDetail();
    progress_->setToolTip(shown);
    detail_->setToolTip(shown);
    detail_->update();
}

void CMainDlg::fitDetail() {
    // Laid out as the label would, line by line; what takes more than the
    // lines there are ends in an ellipsis, and the tool tip has it whole.
    const int width = detail_->contentsRect().width();
    const QFontMetrics metrics(detail_->font());
    QString text = detailText_;
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(text, detail_->font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    int rest = -1;  // where the last line there is room for starts
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == kDetailLines - 1) {
            rest = line.textStart();
            break;
        }
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    if (rest >= 0) {
        // Far more than a line holds, so the measuring below stays short.
        QString last = text.mid(rest, 1000);
        const auto lineEnd = last.indexOf(QChar::LineSeparator);
        const bool more = lineEnd >= 0 && lineEnd + 1 < last.size();
        last = last.left(lineEnd >= 0 ? lineEnd : last.size()).trimmed();
        if (more || metrics.horizontalAdvance(last) > width) {
            const QString ellipsis = QString::fromLatin1(kEllipsis);
            // The longest start of the line that leaves room for the ellipsis.
            qsizetype fits = 0;
            qsizetype tooLong = last.size() + 1;
            while (tooLong - fits > 1) {
                const qsizetype middle = (fits + tooLong) / 2;
                if (metrics.horizontalAdvance(last.left(middle) + ellipsis) <= width) {
                    fits = middle;
                } else {
                    tooLong = middle;
                }
            }
            last = last.left(fits).trimmed() + ellipsis;
        }
        lines << last;
    }
    detail_->setText(lines.join(QLatin1Char('\n')));
}

}  // namespace tyq::ui
