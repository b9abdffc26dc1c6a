#include "ui/CMainDlg.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <algorithm>
#include <optional>
#include <system_error>

#include "commands/DownloadCommand.h"
#include "commands/MailboxTransfer.h"
#include "commands/UnzipCommand.h"
#include "common/Paths.h"
#include "common/Texts.h"
#include "desktop/Trash.h"
#include "desktop/WindowBus.h"
#include "download/CollectState.h"
#include "settings/CSettings.h"
#include "settings/KeyringPasswords.h"
#include "settings/Keys.h"
#include "ui/AppIcon.h"
#include "ui/CAboutDlg.h"
#include "ui/CSetupDlg.h"
#include "ui/CommandJob.h"
#include "ui/ControlIds.h"
#include "ui/DialogUnits.h"
#include "ui/HelpViewer.h"
#include "ui/TextBytes.h"

namespace tyq::ui {

namespace {

constexpr char kAboutItem[] = "&About Korvatt...";
constexpr char kStopDownload[] = "Stop the download?";
constexpr char kStopUnzip[] = "Stop unzipping?";
constexpr char kPasswordsNotFilledText[] = "The password fields are empty: ";

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
            return commands::downloadFiles(window, profiles_, prompter, libraryFolder_,
                                           desktop::moveToTrash);
        };
    }
    if (!hooks_.unzip) {
        hooks_.unzip = [this](MainWindowPort& window, Prompter&) {
            return commands::unzipDownloadFiles(window, profiles_, libraryFolder_);
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

// The job goes first: its command may still use the window's members.
CMainDlg::~CMainDlg() {
    job_.reset();
}

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
    // Beside the Location field, in its row.
    auto* browse = addButton(ids::kBrowse, "&Browse...", 175, 76, 39, 13);

    area_ = new ProgressArea(units, 11, 94, this);
    progress_ = area_->statusLine();
    const int barTop = area_->barTop();
    // Everything below moves down by what the box, the detail and the bar
    // added to the original layout.
    const int shift = barTop + 11 + 3 - 117;

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
    // As the controls read, top to bottom and left to right.
    auto* openFolderButton = area_->findChild<QPushButton*>(QStringLiteral("openFolder"));
    auto* detail = area_->findChild<QWidget*>(QStringLiteral("progressDetail"));
    const QList<QWidget*> tabOrder{
        aol_,     user_, pass_, zipPass_, local_, browse, detail, openFolderButton,
        download, unzip, ok,    cancel,   help,   setup};
    for (qsizetype i = 1; i < tabOrder.size(); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }

    connect(download, &QPushButton::clicked, this,
            [this] { startJob(hooks_.download, kStopDownload, "File", true); });
    connect(unzip, &QPushButton::clicked, this,
            [this] { startJob(hooks_.unzip, kStopUnzip, "Archive", false); });
    connect(ok, &QPushButton::clicked, this, &CMainDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CMainDlg::reject);
    connect(help, &QPushButton::clicked, this, [this] { runCommand([this] { onHelp(); }); });
    connect(setup, &QPushButton::clicked, this, [this] { runCommand([this] { onSetup(); }); });
    connect(aol_, &QCheckBox::clicked, this, [this] { runCommand([this] { onAolClicked(); }); });

    connect(browse, &QPushButton::clicked, this, [this] { runCommand([this] { onBrowse(); }); });
    connect(area_, &ProgressArea::openFolderClicked, this,
            [this] { runCommand([this] { openFolder(); }); });

    setFixedSize(units.toPixelsX(227), units.toPixelsY(183 + shift));
}

void CMainDlg::opening() {
    user_->setFocus();

    m_strUser = settings::read(profiles_, settings::Key::User);
    shown_[0] = showSetting(m_strUser);
    user_->setText(shown_[0].text);
    const auto keyring = unlockKeyring();
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
    if (keyring) {
        setProgressDetail(kPasswordsNotFilledText + *keyring);
    }
}

// While the passwords are in the keyring: asks to unlock it where the desktop
// can; why the password fields stay empty, if they do.
std::optional<std::string> CMainDlg::unlockKeyring() {
    if (!settings::passwordsInKeyring(profiles_)) {
        return std::nullopt;
    }
    auto answer = settings::readSecretUnlocking(profiles_, settings::Key::Pass);
    if (answer.answer == settings::SecretAnswer::Found) {
        answer = settings::readSecret(profiles_, settings::Key::ZipPass);
    }
    if (answer.answer == settings::SecretAnswer::Found) {
        return std::nullopt;
    }
    return answer.reason;
}

StepOneTexts CMainDlg::fieldsNow() const {
    return StepOneTexts{
        settingBytesFor(user_->text(), shown_[0]), settingBytesFor(pass_->text(), shown_[1]),
        settingBytesFor(zipPass_->text(), shown_[2]), settingBytesFor(local_->text(), shown_[3])};
}

void CMainDlg::copyFieldsToMembers() {
    StepOneTexts fields = fieldsNow();
    m_strUser = std::move(fields.user);
    m_strPass = std::move(fields.pass);
    m_strZipPass = std::move(fields.zipPass);
    m_strLocal = std::move(fields.local);
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

void CMainDlg::focusPassword() {
    if (job_ != nullptr) {
        focusAfter_ = pass_;
    } else {
        pass_->setFocus(Qt::OtherFocusReason);
    }
}

void CMainDlg::focusProgressText() {
    progress_->setFocus(Qt::OtherFocusReason);
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
    CSetupDlg setup(profiles_, prompter_, download::CollectState::defaultFolder(), this);
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
    const bool enterOrHelp = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
                             event->key() == Qt::Key_F1;
    if (job_ != nullptr && enterOrHelp) {
        event->accept();  // OK and Help wait until the command has ended
        return;
    }
    if (modifiers == Qt::NoModifier) {
        switch (event->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
                event->accept();
                // A focused push button takes Enter for itself; anywhere
                // else Enter means OK.
                if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
                    button->click();
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
    if (job_ != nullptr) {
        event->accept();  // the About box waits until the command has ended
        return;
    }
    const auto menu = windowMenu();
    menu->exec(event->globalPos());
    event->accept();
}

}  // namespace tyq::ui