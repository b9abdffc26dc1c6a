#pragma once

#include <QDialog>
#include <QPointer>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>

#include "common/MainWindowPort.h"
#include "common/Prompter.h"
#include "settings/ProfileStore.h"
#include "ui/ProgressMeter.h"
#include "ui/TextBytes.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;

namespace tyq::ui {

class HelpViewer;

// The text of the AOL question, at start-up and on the first tick of the box.
inline constexpr char kAolQuestion[] =
    "Have you logged in and connected to the\nInternet with AOL?\nPress Yes to continue and  "
    "download files or \nedit parameters. Press No to exit.";
inline constexpr char kHelpFileName[] = "tyqlmftp.hlp";

// What the window calls out to. Left empty, the program's own parts are used.
struct MainDlgHooks {
    // The hang-up question on the way out (OK and Cancel).
    std::function<void()> offerHangUp;
    // The Step 2 and Step 3 commands. They run on a worker thread; the port
    // and the prompter carry their calls over to the window.
    std::function<void(MainWindowPort&, Prompter&)> download;
    std::function<void(MainWindowPort&, Prompter&)> unzip;
    // Shows the help file; runs while the help folder is the current directory.
    std::function<void(const std::string& helpFile)> showHelp;
    // The desktop's folder chooser, opened at start; nothing when the user
    // cancels.
    std::function<std::optional<std::string>(const std::string& start)> chooseFolder;
    // The program file the help file lies beside; empty means this process's.
    std::filesystem::path executablePath;
    // A command that took longer ends with a desktop notification when the
    // window is not the active one.
    std::chrono::milliseconds notifyAfter{10000};
};

// The main window: Step 1 fields, the Step 2 and Step 3 commands, the
// progress text, OK, Cancel, Help and Setup.
class CMainDlg : public QDialog, public MainWindowPort {
    Q_OBJECT
  public:
    CMainDlg(const settings::ProfileStore& profiles, Prompter& prompter,
             std::filesystem::path libraryFolder, MainDlgHooks hooks = {},
             QWidget* parent = nullptr);
    ~CMainDlg() override;

    // MainWindowPort
    StepOneTexts takeStepOneFields() override;
    std::string userId() const override;
    bool aolChecked() const override;
    void setProgressText(const std::string& text) override;
    void setProgressDetail(const std::string& text) override;
    void focusProgressText() override;
    void focusPassword() override;
    ProcessCounters& counters() override { return counters_; }
    void setProgressBytes(const ByteProgress& progress) override;

    // The Step 1 values last read or saved.
    std::string m_strUser;
    std::string m_strPass;
    std::string m_strZipPass;
    std::string m_strLocal;

    // Runs one command inside the window's error handling: input that arrives
    // meanwhile is dropped, and an error that leaves the command is shown in
    // a box with a stop icon instead of ending the program.
    void runCommand(const std::function<void()>& command);

    // OK and Cancel operations; every way to close the window leads here.
    // While a command runs, Cancel, Escape and the close box ask whether to
    // stop it instead.
    void accept() override;
    void reject() override;

    // A request from outside to end the program (a signal): stops a running
    // command without asking, then closes as Cancel does but without the
    // hang-up question.
    void endOnRequest();
    bool commandRunning() const noexcept { return stop_ != nullptr; }

    // The window's own menu (right-click): "&About Korvatt...".
    std::unique_ptr<QMenu> windowMenu();

    // The help window once the Help command has opened it, else nullptr.
    HelpViewer* helpViewer() const;

    // Shows the Location in the file manager: its FileManager1 service on
    // the session bus, else the desktop's handler for folders.
    void openFolder();

  private slots:
    // A click on an action of the notification sent at a command's end.
    void onNotificationAction(uint id, const QString& action);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void buildControls();
    void opening();
    void onOk();
    void onCancel();
    void onAolClicked();
    void onHelp();
    void onSetup();
    void onAbout();
    void onBrowse();
    void copyFieldsToMembers();
    void runCommandWith(const std::function<void()>& command,
                        const std::function<bool(QObject*, const QEvent&)>& passThrough);
    // Runs a Step 2 or Step 3 command on a worker while the window answers.
    void runOnWorker(const std::function<void(MainWindowPort&, Prompter&)>& command,
                     const char* stopQuestion, const char* itemWord, bool fromServer);
    // What lets a click on Cancel, its mnemonic and Escape through while a
    // worker command runs.
    bool stopsCommand(QObject* receiver, const QEvent& event) const;
    // The progress bar's fill and text as the meter reads now.
    void showMeter();
    // The detail line's text, cut to the lines it has.
    void fitDetail();
    void askToStop(bool fromCloseBox);
    // What a command that ended well did: on the detail line, and in a
    // notification when it took long and the window is in the background.
    void sumUp(std::chrono::steady_clock::duration took);
    QString folderShown() const;
    void closeModalBoxes();

    const settings::ProfileStore& profiles_;
    Prompter& prompter_;
    std::filesystem::path libraryFolder_;
    MainDlgHooks hooks_;
    ProcessCounters counters_;
    bool inCommand_ = false;
    // Set while a worker command runs.
    std::stop_source* stop_ = nullptr;
    const char* stopQuestion_ = "";
    bool askingToStop_ = false;
    bool closeAfterStop_ = false;
    bool endAfterStop_ = false;
    // What the progress bar's text counts, and whether a pause means the
    // server keeps us waiting.
    QString itemWord_;
    bool fromServer_ = false;
    ProgressMeter meter_;
    QString meterItem_;
    // Reads the meter again while no count comes, so a stall shows.
    QTimer* meterTimer_ = nullptr;
    QString detailText_;
    // The last count of the running command, for its summary.
    std::optional<ByteProgress> lastProgress_;
    // Where the focus goes once the running command ends (its controls are
    // disabled until then).
    QPointer<QWidget> focusAfter_;
    // The notification last sent, whose "Open Folder" action is ours.
    uint notification_ = 0;

    QLineEdit* user_ = nullptr;
    QLineEdit* pass_ = nullptr;
    QLineEdit* zipPass_ = nullptr;
    QLineEdit* local_ = nullptr;
    QCheckBox* aol_ = nullptr;
    QLabel* progress_ = nullptr;
    QLabel* detail_ = nullptr;
    // The four Step 1 values as read, as shown: user, password, zip
    // password, Location.
    std::array<ShownSetting, 4> shown_;
    QProgressBar* bar_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QLabel* openFolder_ = nullptr;
    QPointer<HelpViewer> helpViewer_;
};

}  // namespace tyq::ui
