#include "ui/CMainDlg.h"

#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTextLayout>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "common/DiskFullError.h"
#include "common/Paths.h"
#include "common/Texts.h"
#include "download/DownloadFiles.h"
#include "download/MailboxTransfer.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "ui/AppIcon.h"
#include "ui/CAboutDlg.h"
#include "ui/CSetupDlg.h"
#include "ui/ControlIds.h"
#include "ui/DialogUnits.h"
#include "ui/HelpViewer.h"
#include "ui/InputBlocker.h"
#include "ui/TextBytes.h"
#include "ui/WorkerPort.h"
#include "unzip/UnzipDownloadFiles.h"

namespace tyq::ui {

namespace {

// A command whose worker thread could not start: said as it is.
struct NotStarted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr char kAboutItem[] = "&About Korvatt...";
constexpr char kStopDownload[] = "Stop the download?";
constexpr char kStopUnzip[] = "Stop unzipping?";
// The bar runs from 0 to this, so it moves smoothly on a wide window.
constexpr int kBarRange = ProgressMeter::kFillRange;
constexpr std::chrono::milliseconds kMeterTick{500};
constexpr int kDetailLines = 3;
constexpr char kEllipsis[] = "...";
constexpr char kOpenFolder[] = "Open Folder";
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

void writeSetting(const settings::ProfileStore& profiles, settings::Key key,
                  std::string_view value) {
    // Write failures go unreported: the window carries on as it always has.
    static_cast<void>(settings::write(profiles, key, value));
}

// Puts the current directory back when the Help command is done, also when
// showing the help fails.
class CurrentDirectoryRestorer {
  public:
    CurrentDirectoryRestorer() : saved_(currentDirectory()) {}
    ~CurrentDirectoryRestorer() {
        if (saved_ && ::chdir(saved_->c_str()) != 0) {
            // Nothing sensible to do: the help call's results are not used.
        }
    }
    CurrentDirectoryRestorer(const CurrentDirectoryRestorer&) = delete;
    CurrentDirectoryRestorer& operator=(const CurrentDirectoryRestorer&) = delete;

  private:
    std::optional<std::string> saved_;
};

// Everything before the last '/'; a path without one stays whole.
std::string cutAtLastSlash(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(0, slash);
}

}  // namespace

CMainDlg::CMainDlg(const settings::ProfileStore& profiles, Prompter& prompter,
                   std::filesystem::path libraryFolder, MainDlgHooks hooks, QWidget* parent)
    : QDialog(parent),
      profiles_(profiles),
      prompter_(prompter),
      libraryFolder_(std::move(libraryFolder)),
      hooks_(std::move(hooks)) {
    if (!hooks_.download) {
        hooks_.download = [this](MainWindowPort& window, Prompter& prompter) {
            download::downloadFiles(window, profiles_, prompter, libraryFolder_);
        };
    }
    if (!hooks_.unzip) {
        hooks_.unzip = [this](MainWindowPort& window, Prompter&) {
            unzip::unzipDownloadFiles(window, profiles_, libraryFolder_);
        };
    }
    if (!hooks_.showHelp) {
        hooks_.showHelp = [this](const std::string& helpFile) {
            if (helpViewer_ == nullptr) {
                helpViewer_ = new HelpViewer(this);
            }
            helpViewer_->showFile(helpFile);
        };
    }
    if (!hooks_.chooseFolder) {
        hooks_.chooseFolder = [this](const std::string& start) -> std::optional<std::string> {
            const QString folder = QFileDialog::getExistingDirectory(
                this, QStringLiteral("Choose the local folder"), QString::fromStdString(start));
            if (folder.isEmpty()) {
                return std::nullopt;
            }
            return toSettingBytes(folder);
        };
    }
    if (hooks_.executablePath.empty()) {
        hooks_.executablePath = executablePath();
    }

    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QString::fromUtf8(kProgramCaption));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowIcon(applicationIcon());
    buildControls();
    opening();
}

CMainDlg::~CMainDlg() = default;

HelpViewer* CMainDlg::helpViewer() const {
    return helpViewer_.data();
}

void CMainDlg::buildControls() {
    const DialogUnits units(font());

    // Created first, so the Step 1 controls lie above it.
    auto* group = new QGroupBox(QStringLiteral("Step1: Setup"), this);
    group->setObjectName(QStringLiteral("groupStep1"));
    units.place(*group, 9, 3, 211, 89, false);

    aol_ = new QCheckBox(QStringLiteral("Use &AOL for the ISP"), this);
    aol_->setObjectName(controlName(ids::kAol));
    units.place(*aol_, 98, 11, 80, 9);

    auto addField = [&](int id, const char* label, int labelLeft, int labelTop, int labelWidth,
                        int left, int top, int width) {
        auto* caption = new QLabel(QString::fromUtf8(label), this);
        caption->setObjectName(QStringLiteral("label") + controlName(id));
        auto* field = new QLineEdit(this);
        field->setObjectName(controlName(id));
        caption->setBuddy(field);
        nameBuddyAfterLabel(*caption);
        units.place(*caption, labelLeft, labelTop, labelWidth, 8);
        units.place(*field, left, top, width, 13);
        return field;
    };
    user_ = addField(ids::kUser, "ORV Mail User &ID", 14, 26, 56, 97, 26, 117);
    pass_ = addField(ids::kPass, "ORV Mail FTP &Password", 14, 43, 78, 97, 43, 117);
    pass_->setEchoMode(QLineEdit::Password);
    zipPass_ = addField(ids::kZipPass, "ORV Mail &Zip Password", 14, 60, 74, 97, 60, 117);
    zipPass_->setEchoMode(QLineEdit::Password);
    // The field leaves room for the folder chooser's button.
    local_ = addField(ids::kLocal, "&Location", 14, 76, 28, 49, 76, 123);

    auto* progressLabel = new QLabel(QStringLiteral("Progress:"), this);
    progressLabel->setObjectName(QStringLiteral("labelProgress"));
    units.place(*progressLabel, 11, 97, 31, 12);
    progress_ = new QLabel(this);
    progress_->setObjectName(controlName(ids::kProgress));
    progress_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    progress_->setLineWidth(1);
    progress_->setWordWrap(true);
    progress_->setTextFormat(Qt::PlainText);
    progress_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    units.place(*progress_, 43, 94, 178, 20, false);
    // Screen readers name the box by its text and label it by its caption.
    progressLabel->setBuddy(progress_);
    // The longest text the box shows, the stock connection failure, must fit
    // whole with the font in use; the box grows downwards until it does.
    const auto unitsFor = [&units](int pixels) {
        return (pixels * 8 + units.baseY() - 1) / units.baseY();
    };
    progress_->setText(QString::fromUtf8(download::kFtpExceptionText));
    const int textUnits = std::max(20, unitsFor(progress_->heightForWidth(progress_->width())) + 1);
    progress_->clear();
    units.place(*progress_, 43, 94, 178, textUnits, false);

    // Why the last command ended as it did, in plain words, on up to three
    // lines.
    detail_ = new QLabel(this);
    detail_->setObjectName(QStringLiteral("progressDetail"));
    detail_->setWordWrap(true);
    detail_->setTextFormat(Qt::PlainText);
    detail_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    detail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    const int detailTop = 94 + textUnits + 1;
    units.place(*detail_, 43, detailTop, 178, 16, false);
    detail_->setText(QStringLiteral("Ag\nAg\nAg"));
    const int detailUnits = std::max(16, unitsFor(detail_->heightForWidth(detail_->width())));
    detail_->clear();
    units.place(*detail_, 43, detailTop, 178, detailUnits, false);

    // Shown only while a command runs; its row stays, so nothing jumps.
    const int barTop = detailTop + detailUnits + 1;
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->setRange(0, kBarRange);
    bar_->setTextVisible(true);
    bar_->setAlignment(Qt::AlignCenter);
    bar_->setAccessibleName(QStringLiteral("Progress"));
    units.place(*bar_, 43, barTop, 178, 11);
    bar_->hide();
    meterTimer_ = new QTimer(this);
    meterTimer_->setInterval(kMeterTick);
    connect(meterTimer_, &QTimer::timeout, this, &CMainDlg::showMeter);
    // In the bar's row while no command runs, at its right end.
    openFolder_ = new QLabel(
        QStringLiteral("<a href=\"folder\">%1</a>").arg(QString::fromUtf8(kOpenFolder)), this);
    openFolder_->setObjectName(QStringLiteral("openFolder"));
    openFolder_->setTextFormat(Qt::RichText);
    openFolder_->setTextInteractionFlags(Qt::LinksAccessibleByMouse |
                                         Qt::LinksAccessibleByKeyboard);
    openFolder_->setFocusPolicy(Qt::StrongFocus);
    openFolder_->setAccessibleName(QString::fromUtf8(kOpenFolder));
    openFolder_->setToolTip(QStringLiteral("Show the Location in the file manager"));
    openFolder_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    units.place(*openFolder_, 43 + 178 - 60, barTop, 60, 11);
    // Everything below moves down by what the box, the detail and the bar
    // added to the original layout.
    const int shift = barTop + 11 + 3 - 117;

    auto addButton = [&](int id, const char* text, int left, int top, int width, int height) {
        auto* button = new QPushButton(QString::fromUtf8(text), this);
        button->setObjectName(controlName(id));
        // No default button: Enter means OK, or presses a focused button
        // (keyPressEvent).
        button->setAutoDefault(false);
        button->setDefault(false);
        units.place(*button, left, top, width, height);
        return button;
    };
    auto* step2 = new QLabel(QStringLiteral("Step2:"), this);
    step2->setObjectName(QStringLiteral("labelStep2"));
    units.place(*step2, 12, 122 + shift, 22, 8);
    auto* download = addButton(ids::kDownload, "&Download Files", 69, 120 + shift, 151, 14);
    auto* step3 = new QLabel(QStringLiteral("Step3:"), this);
    step3->setObjectName(QStringLiteral("labelStep3"));
    units.place(*step3, 12, 138 + shift, 22, 8);
    auto* unzip = addButton(ids::kUnzip, "&Unzip Download Files", 69, 136 + shift, 151, 14);
    auto* ok = addButton(ids::kOk, "&OK", 18, 162 + shift, 42, 14);
    auto* cancel = cancel_ = addButton(ids::kCancel, "&Cancel", 68, 162 + shift, 42, 14);
    auto* help = addButton(ids::kHelp, "&Help", 118, 162 + shift, 42, 14);
    auto* setup = addButton(ids::kSetup, "&Setup", 168, 162 + shift, 42, 14);
    // Beside the Location field, in its row.
    auto* browse = addButton(ids::kBrowse, "&Browse...", 175, 76, 39, 13);

    const QList<QWidget*> tabOrder{aol_,  user_,       pass_, zipPass_, local_, browse, download,
                                   unzip, openFolder_, ok,    cancel,   help,   setup};
    for (qsizetype i = 1; i < tabOrder.size(); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }

    connect(download, &QPushButton::clicked, this,
            [this] { runOnWorker(hooks_.download, kStopDownload, "File", true); });
    connect(unzip, &QPushButton::clicked, this,
            [this] { runOnWorker(hooks_.unzip, kStopUnzip, "Archive", false); });
    connect(ok, &QPushButton::clicked, this, &CMainDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CMainDlg::reject);
    connect(help, &QPushButton::clicked, this, [this] { runCommand([this] { onHelp(); }); });
    connect(setup, &QPushButton::clicked, this, [this] { runCommand([this] { onSetup(); }); });
    connect(aol_, &QCheckBox::clicked, this, [this] { runCommand([this] { onAolClicked(); }); });

    connect(browse, &QPushButton::clicked, this, [this] { runCommand([this] { onBrowse(); }); });
    connect(openFolder_, &QLabel::linkActivated, this,
            [this] { runCommand([this] { openFolder(); }); });

    setFixedSize(units.toPixelsX(227), units.toPixelsY(183 + shift));
}

void CMainDlg::opening() {
    user_->setFocus();

    m_strUser = settings::read(profiles_, settings::Key::User);
    shown_[0] = showSetting(m_strUser);
    user_->setText(shown_[0].text);
    m_strPass = settings::read(profiles_, settings::Key::Pass);
    shown_[1] = showSetting(m_strPass);
    pass_->setText(shown_[1].text);
    m_strZipPass = settings::read(profiles_, settings::Key::ZipPass);
    shown_[2] = showSetting(m_strZipPass);
    zipPass_->setText(shown_[2].text);
    m_strLocal = settings::read(profiles_, settings::Key::Local);
    shown_[3] = showSetting(m_strLocal);
    local_->setText(shown_[3].text);

    const std::string aol = settings::read(profiles_, settings::Key::Aol);
    const bool checked = !aol.empty() && aol.front() == '1';
    aol_->setChecked(checked);
    writeSetting(profiles_, settings::Key::Aol, checked ? "1" : "0");
}

void CMainDlg::runCommand(const std::function<void()>& command) {
    runCommandWith(command, {});
}

void CMainDlg::runCommandWith(const std::function<void()>& command,
                              const std::function<bool(QObject*, const QEvent&)>& passThrough) {
    // A command started while another runs (only possible through events
    // that are not user input) shares the outer command's input blocking.
    const bool outermost = !inCommand_;
    std::optional<InputBlocker> blocker;
    if (outermost) {
        inCommand_ = true;
        blocker.emplace(*this, passThrough);
    }
    std::optional<std::string> failure;
    try {
        command();
    } catch (const DiskFullError& error) {
        failure = error.what();
    } catch (const NotStarted& error) {
        failure = error.what();
    } catch (const std::exception& error) {
        failure = std::string("The command ended with an unexpected error: ") + error.what();
    } catch (...) {
        failure = "The command ended with an unexpected error.";
    }
    if (failure) {
        try {
            prompter_.ask(
                Prompt{*failure, PromptButtons::Ok, PromptIcon::Stop, PromptOwner::MainWindow});
        } catch (...) {
            // Nothing is left to report it with; the window carries on.
        }
    }
    if (outermost) {
        blocker.reset();  // drops the input that queued up meanwhile
        inCommand_ = false;
    }
}

bool CMainDlg::stopsCommand(QObject* receiver, const QEvent& event) const {
    if (stop_ == nullptr) {
        return false;
    }
    switch (event.type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease: {
            if (receiver == cancel_) {
                return true;
            }
            // The window system hands a click to the window first, which
            // passes it on to the control under the pointer (or the one
            // that has the button down).
            if (receiver != static_cast<QObject*>(windowHandle())) {
                return false;
            }
            const auto& mouse = static_cast<const QMouseEvent&>(event);
            return childAt(mouse.position().toPoint()) == cancel_ ||
                   (event.type() == QEvent::MouseButtonRelease && cancel_->isDown());
        }
        case QEvent::Shortcut:
            return receiver == cancel_;
        case QEvent::ShortcutOverride:
        case QEvent::KeyPress:
        case QEvent::KeyRelease: {
            const auto& key = static_cast<const QKeyEvent&>(event);
            const auto modifiers = key.modifiers() & ~Qt::KeypadModifier;
            // Asked first whether a control takes the key itself; dropping
            // the question would keep Cancel's mnemonic from ever firing.
            if (event.type() == QEvent::ShortcutOverride) {
                return QKeySequence(key.keyCombination()) == cancel_->shortcut();
            }
            if (key.key() == Qt::Key_Escape && modifiers == Qt::NoModifier) {
                return event.type() == QEvent::KeyPress;
            }
            // Space presses Cancel when it has the focus, as at rest.
            const bool toCancel =
                receiver == cancel_ || receiver == static_cast<QObject*>(windowHandle());
            return key.key() == Qt::Key_Space && modifiers == Qt::NoModifier && toCancel &&
                   QApplication::focusWidget() == cancel_;
        }
        default:
            return false;
    }
}

void CMainDlg::runOnWorker(const std::function<void(MainWindowPort&, Prompter&)>& command,
                           const char* stopQuestion, const char* itemWord, bool fromServer) {
    if (inCommand_) {
        return;  // one command at a time
    }
    // Only the ways to stop get through while the worker runs: a click on
    // Cancel (or its mnemonic) and Escape. The close box is no input event.
    const auto passThrough = [this](QObject* receiver, const QEvent& event) {
        return stopsCommand(receiver, event);
    };
    runCommandWith(
        [&] {
            std::stop_source source;
            WorkerPort port(*this, *this, prompter_, source.get_token());
            // However this ends, nothing is left pointing at the source.
            // The controls that do nothing while the command runs show it;
            // they are given back as they were, and so is the focus.
            struct Running {
                CMainDlg& window;
                QPointer<QWidget> focus;
                std::vector<QPointer<QWidget>> disabled;
                ~Running() {
                    window.stop_ = nullptr;
                    window.meterTimer_->stop();
                    window.bar_->hide();
                    window.openFolder_->show();
                    for (const auto& control : disabled) {
                        if (control != nullptr) {
                            control->setEnabled(true);
                        }
                    }
                    // Where the command asked for it, else back where it was
                    // unless the command moved it.
                    if (window.focusAfter_ != nullptr) {
                        window.focusAfter_->setFocus(Qt::OtherFocusReason);
                        window.focusAfter_ = nullptr;
                    } else if (focus != nullptr && QApplication::focusWidget() == window.cancel_ &&
                               focus->isEnabled()) {
                        focus->setFocus(Qt::OtherFocusReason);
                    }
                }
            } running{*this, QApplication::focusWidget(), {}};
            const auto controls = findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
            if (running.focus != nullptr && running.focus != cancel_ &&
                controls.contains(running.focus.data())) {
                // Disabling the focused control would pass the focus along
                // the tab chain; Cancel is where it ends up anyway.
                cancel_->setFocus(Qt::OtherFocusReason);
            }
            for (QWidget* control : controls) {
                const bool acts = qobject_cast<QAbstractButton*>(control) != nullptr ||
                                  qobject_cast<QLineEdit*>(control) != nullptr;
                if (acts && control != cancel_ && control->isEnabled()) {
                    control->setEnabled(false);
                    running.disabled.emplace_back(control);
                }
            }
            const auto started = std::chrono::steady_clock::now();
            lastProgress_.reset();
            stop_ = &source;
            stopQuestion_ = stopQuestion;
            itemWord_ = QString::fromUtf8(itemWord);
            fromServer_ = fromServer;
            meter_.start(ProgressMeter::Clock::now());
            meterItem_.clear();
            bar_->setValue(0);
            bar_->setFormat(QString());
            bar_->setToolTip(QString());
            bar_->setAccessibleDescription(QString());
            openFolder_->hide();
            bar_->show();
            meterTimer_->start();

            QEventLoop loop;
            std::exception_ptr error;
            std::thread worker;
            try {
                worker = std::thread([&] {
                    try {
                        command(port, port);
                    } catch (...) {
                        error = std::current_exception();
                    }
                    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
                });
            } catch (const std::system_error& failure) {
                throw NotStarted(std::string("The command could not start: ") + failure.what());
            }
            loop.exec();
            worker.join();
            if (error) {
                std::rethrow_exception(error);
            }
            if (!source.stop_requested()) {
                sumUp(std::chrono::steady_clock::now() - started);
            }
        },
        passThrough);
    if (endAfterStop_) {
        endAfterStop_ = closeAfterStop_ = false;
        QDialog::done(QDialog::Rejected);
    } else if (closeAfterStop_) {
        closeAfterStop_ = false;
        reject();
    }
}

void CMainDlg::askToStop(bool fromCloseBox) {
    if (askingToStop_ || stop_ == nullptr || stop_->stop_requested()) {
        return;
    }
    askingToStop_ = true;
    PromptAnswer answer = PromptAnswer::No;
    try {
        answer = prompter_.ask(Prompt{stopQuestion_, PromptButtons::YesNo, PromptIcon::Question,
                                      PromptOwner::MainWindow});
    } catch (...) {
        // No answer is No: the command goes on.
    }
    askingToStop_ = false;
    if (answer != PromptAnswer::Yes) {
        return;
    }
    // The command may have ended while the question was open.
    if (stop_ == nullptr) {
        if (fromCloseBox) {
            reject();
        }
        return;
    }
    stop_->request_stop();
    closeAfterStop_ = fromCloseBox;
}

void CMainDlg::closeModalBoxes() {
    // Each box answers as its Escape would; a box that will not close is
    // left after a few tries rather than looping.
    for (int i = 0; i < 16; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == this) {
            return;
        }
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        } else {
            modal->close();
        }
    }
}

void CMainDlg::endOnRequest() {
    closeModalBoxes();
    if (stop_ != nullptr) {
        stop_->request_stop();
        endAfterStop_ = true;
        return;
    }
    QDialog::done(QDialog::Rejected);
}

void CMainDlg::closeEvent(QCloseEvent* event) {
    if (stop_ != nullptr) {
        event->ignore();
        askToStop(true);
        return;
    }
    QDialog::closeEvent(event);
}

void CMainDlg::setProgressBytes(const ByteProgress& progress) {
    if (stop_ == nullptr) {
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

void CMainDlg::sumUp(std::chrono::steady_clock::duration took) {
    // Only where the command left no explanation of its own.
    if (detail_->text().isEmpty() && lastProgress_ && lastProgress_->itemCount > 0) {
        const int count = lastProgress_->itemCount;
        const QString summary =
            QStringLiteral("%1 %2%3 \u00b7 %4 \u00b7 %5 \u00b7 %6")
                .arg(count)
                .arg(itemWord_.toLower(), count == 1 ? QString() : QStringLiteral("s"),
                     sizeText(lastProgress_->allDone), tookText(took), folderShown());
        setProgressDetail(summary.toStdString());
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
    // The body may be read as markup.
    notify << QString::fromUtf8(kProgramName) << notification_ << QString::fromUtf8(kProgramName)
           << progress_->text() << detail_->text().toHtmlEscaped()
           << QStringList{kOpenFolderAction, QString::fromUtf8(kOpenFolder)} << QVariantMap{} << -1;
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

void CMainDlg::copyFieldsToMembers() {
    m_strUser = settingBytesFor(user_->text(), shown_[0]);
    m_strPass = settingBytesFor(pass_->text(), shown_[1]);
    m_strZipPass = settingBytesFor(zipPass_->text(), shown_[2]);
    m_strLocal = settingBytesFor(local_->text(), shown_[3]);
}

StepOneTexts CMainDlg::takeStepOneFields() {
    copyFieldsToMembers();
    return StepOneTexts{m_strUser, m_strPass, m_strZipPass, m_strLocal};
}

std::string CMainDlg::userId() const {
    return m_strUser;
}

bool CMainDlg::aolChecked() const {
    return aol_->isChecked();
}

void CMainDlg::setProgressText(const std::string& text) {
    progress_->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    // The label's name is its text: screen readers announce the change.
    QAccessibleEvent changed(progress_, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
    // Commands block the event loop: paint now, or the text would only show
    // once the command is over.
    progress_->repaint();
}

void CMainDlg::setProgressDetail(const std::string& text) {
    const QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    detailText_ = shown;
    fitDetail();
    progress_->setToolTip(shown);
    detail_->setToolTip(shown);
    detail_->repaint();
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

void CMainDlg::focusPassword() {
    if (stop_ != nullptr) {
        focusAfter_ = pass_;
    } else {
        pass_->setFocus(Qt::OtherFocusReason);
    }
}

void CMainDlg::focusProgressText() {
    progress_->setFocus(Qt::OtherFocusReason);
}

void CMainDlg::accept() {
    runCommand([this] { onOk(); });
}

void CMainDlg::reject() {
    if (stop_ != nullptr) {
        askToStop(false);
        return;
    }
    runCommand([this] { onCancel(); });
}

void CMainDlg::onOk() {
    copyFieldsToMembers();
    // Write failures go unreported: the window closes as it always has.
    static_cast<void>(settings::saveStepOne(
        profiles_, {m_strUser, m_strPass, m_strZipPass, m_strLocal},
        {.user = settings::Save::Kept,
         .pass = settings::Save::Kept,
         .zipPass = settings::Save::Kept,
         .local = settings::Save::Kept,
         .aolOff = aol_->isChecked() ? settings::Save::Skip : settings::Save::Kept}));
    if (hooks_.offerHangUp) {
        hooks_.offerHangUp();
    }
    QDialog::done(QDialog::Accepted);
}

void CMainDlg::onCancel() {
    if (hooks_.offerHangUp) {
        hooks_.offerHangUp();
    }
    QDialog::done(QDialog::Rejected);
}

void CMainDlg::onAolClicked() {
    // The click has already toggled the box.
    if (aol_->isChecked()) {
        if (counters_.aolToggles == 0) {
            const auto answer = prompter_.ask(Prompt{kAolQuestion, PromptButtons::YesNo,
                                                     PromptIcon::None, PromptOwner::MainWindow});
            if (answer != PromptAnswer::Yes) {
                // The user is not connected: leave at once, saving nothing.
                QDialog::done(QDialog::Rejected);
                return;
            }
        }
        writeSetting(profiles_, settings::Key::Aol, "1");
    } else {
        writeSetting(profiles_, settings::Key::Aol, "0");
    }
    ++counters_.aolToggles;
}

void CMainDlg::onHelp() {
    const std::string helpFile =
        cutAtLastSlash(hooks_.executablePath.string()) + "/" + kHelpFileName;
    const CurrentDirectoryRestorer restorer;
    const std::string helpFolder = cutAtLastSlash(helpFile);
    if (::chdir(helpFolder.c_str()) != 0) {
        // The help is shown all the same; it is named by its full path.
    }
    hooks_.showHelp(helpFile);
}

void CMainDlg::onSetup() {
    CSetupDlg setup(profiles_, this);
    setup.exec();
}

void CMainDlg::onBrowse() {
    // Start where the field points, when that is a folder; else at home.
    std::string start = expandHome(toSettingBytes(local_->text()));
    std::error_code error;
    if (start.empty() || !std::filesystem::is_directory(start, error)) {
        start = QDir::homePath().toStdString();
    }
    if (const auto chosen = hooks_.chooseFolder(start)) {
        // Saved like typing: by the next command or OK.
        local_->setText(QString::fromUtf8(chosen->data(), static_cast<qsizetype>(chosen->size())));
    }
}

void CMainDlg::onAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CMainDlg::keyPressEvent(QKeyEvent* event) {
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::NoModifier) {
        switch (event->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
                event->accept();
                // A focused push button takes Enter for itself; anywhere
                // else Enter means OK.
                if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
                    button->click();
                } else if (focusWidget() == openFolder_) {
                    runCommand([this] { openFolder(); });  // the link takes Enter too
                } else {
                    accept();
                }
                return;
            case Qt::Key_Escape:
                event->accept();
                reject();
                return;
            case Qt::Key_F1:
                event->accept();
                runCommand([this] { onHelp(); });
                return;
            default:
                break;
        }
    }
    QDialog::keyPressEvent(event);
}

std::unique_ptr<QMenu> CMainDlg::windowMenu() {
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName(QStringLiteral("windowMenu"));
    QAction* about = menu->addAction(QString::fromUtf8(kAboutItem));
    about->setObjectName(QStringLiteral("aboutAction"));
    // Queued: the About box opens once the menu has closed.
    connect(
        about, &QAction::triggered, this, [this] { runCommand([this] { onAbout(); }); },
        Qt::QueuedConnection);
    return menu;
}

void CMainDlg::contextMenuEvent(QContextMenuEvent* event) {
    const auto menu = windowMenu();
    menu->exec(event->globalPos());
    event->accept();
}

}  // namespace tyq::ui
