#pragma once

#include <QDialog>
#include <QPointer>
#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands/CommandOutcome.h"
#include "common/MainWindowPort.h"
#include "common/Prompter.h"
#include "settings/ProfileStore.h"
#include "ui/ProgressArea.h"
#include "ui/TextBytes.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace tyq::desktop {
class WindowBus;
}

namespace tyq::ui {

class CommandJob;
class DialogUnits;
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
    // and the prompter carry their calls over to the window; each ends with
    // its outcome, which the window sums up.
    std::function<commands::CommandOutcome(MainWindowPort&, Prompter&)> download;
    std::function<commands::CommandOutcome(MainWindowPort&, Prompter&)> unzip;
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

    // Runs one command inside the window's error handling: an error that
    // leaves the command is shown in a box with a stop icon instead of ending
    // the program.
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
    bool commandRunning() const noexcept { return job_ != nullptr; }

    // The window's own menu (right-click): "&About Korvatt...".
    std::unique_ptr<QMenu> windowMenu();

    // The help window once the Help command has opened it, else nullptr.
    HelpViewer* helpViewer() const;

    // Shows the Location in the file manager: its FileManager1 service on
    // the session bus, else the desktop's handler for folders.
    void openFolder();

  signals:
    // A Step 2 or Step 3 command has ended and the window is at rest again.
    void commandEnded();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void buildControls();
    void opening();
    std::optional<std::string> unlockKeyring();
    void onOk();
    void onCancel();
    void onAolClicked();
    void onHelp();
    void onSetup();
    void onAbout();
    void onBrowse();
    // The four Step 1 fields as they read now, in the stored form.
    StepOneTexts fieldsNow() const;
    void copyFieldsToMembers();
    // The stop box for an error that left a command.
    void reportFailure(const std::exception_ptr& error);
    // Starts a Step 2 or Step 3 command as a job and returns; the window
    // answers it while it runs.
    void startJob(
        const std::function<commands::CommandOutcome(MainWindowPort&, Prompter&)>& command,
        const char* stopQuestion, const char* itemWord, bool fromServer);
    // The job's signals, carried out on the window.
    void connectJob();
    // Only Cancel acts while a command runs; the rest is disabled, and given
    // back by restoreControls.
    void disableControls();
    void restoreControls();
    // The job has said it ended: the window sums up, comes back to rest and
    // closes if that was asked for meanwhile.
    void onJobFinished(const commands::CommandOutcome& outcome);
    void askToStop(bool fromCloseBox);
    // What a command that ended well did: on the detail line, and in a
    // notification when it took long and the window is in the background.
    void sumUp(const commands::CommandOutcome& outcome, std::chrono::steady_clock::duration took);
    QString folderShown() const;
    void closeModalBoxes();

    const settings::ProfileStore& profiles_;
    Prompter& prompter_;
    std::filesystem::path libraryFolder_;
    MainDlgHooks hooks_;
    ProcessCounters counters_;
    // Set while a Step 2 or Step 3 command runs.
    std::unique_ptr<CommandJob> job_;
    // What the window has in hand about the running command besides waiting:
    // the stop question is open, or the window closes (by the Cancel path)
    // or ends (without the hang-up question) once it has ended.
    enum class JobState { Running, Asking, Closing, Ending };
    JobState jobState_ = JobState::Running;
    const char* stopQuestion_ = "";
    std::chrono::steady_clock::time_point jobStarted_;
    // The focus when the command started, and the controls it disabled.
    QPointer<QWidget> focusBefore_;
    std::vector<QPointer<QWidget>> disabled_;
    // What the summary counts.
    QString itemWord_;
    // Where the focus goes once the running command ends (its controls are
    // disabled until then).
    QPointer<QWidget> focusAfter_;
    // The session bus for the notifications and the file manager, once used.
    std::unique_ptr<desktop::WindowBus> desktopBus_;
    desktop::WindowBus& desktopBus();

    QLineEdit* user_ = nullptr;
    QLineEdit* pass_ = nullptr;
    QLineEdit* zipPass_ = nullptr;
    QLineEdit* local_ = nullptr;
    QCheckBox* aol_ = nullptr;
    ProgressArea* area_ = nullptr;
    QLabel* progress_ = nullptr;
    // The four Step 1 values as read, as shown: user, password, zip
    // password, Location.
    std::array<ShownSetting, 4> shown_;
    QPushButton* cancel_ = nullptr;
    QPointer<HelpViewer> helpViewer_;
};

}  // namespace tyq::ui
