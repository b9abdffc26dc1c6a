#include "app/CUtilityApp.h"

#include <QApplication>
#include <cstdlib>

#include "app/CommandLine.h"
#include "app/OfferHangUp.h"
#include "app/SignalWatcher.h"
#include "common/Log.h"
#include "common/Paths.h"
#include "common/Texts.h"
#include "desktop/Keyring.h"
#include "desktop/Notification.h"
#include "desktop/SingleInstance.h"
#include "settings/CSettings.h"
#include "settings/ProfileStore.h"
#include "ui/AppIcon.h"
#include "ui/CMainDlg.h"
#include "ui/Logging.h"
#include "ui/QtPrompter.h"

namespace tyq::app {
namespace {

// With --verbose: a later start handed over to this one.
// The program's name and icon, and the desktop entry's name: the desktop
// matches the window to it.
void introduceToTheDesktop() {
    QApplication::setApplicationName(QString::fromUtf8(kProgramName));
    QApplication::setWindowIcon(ui::applicationIcon());
    QApplication::setDesktopFileName(QString::fromUtf8(desktop::kApplicationId));
}

void logRaised() {
    log::record(log::Category::Ui, [] { return std::string("raised for a later start"); });
}

}  // namespace

AppFolders CUtilityApp::defaultFolders() {
    return AppFolders{settings::defaultSettingsFolder(), executableFolder(),
                      std::make_shared<desktop::Keyring>(desktop::Prompting::Allowed)};
}

bool CUtilityApp::initInstance(const AppFolders& folders, Prompter& prompter,
                               const ModalRun& runModal) {
    const settings::ProfileStore profiles(folders.settingsFolder, folders.secrets);
    const std::string aol = settings::read(profiles, settings::Key::Aol);
    if (!aol.empty() && aol.front() == '1') {
        const Prompt question{ui::kAolQuestion, PromptButtons::YesNo, PromptIcon::None,
                              PromptOwner::None};
        if (prompter.ask(question) != PromptAnswer::Yes) {
            return false;
        }
    }

    const auto libraryFolder = folders.libraryFolder;
    ui::MainDlgHooks hooks;
    hooks.offerHangUp = [&prompter, libraryFolder] { OfferHangUp(prompter, libraryFolder); };
    ui::CMainDlg window(profiles, prompter, libraryFolder, std::move(hooks));
    runModal(window);
    return false;
}

int CUtilityApp::run(int argc, char** argv) {
    // Before the toolkit: it would need a display, and it takes arguments of its own.
    if (const auto line = parseCommandLine(argc, argv);
        line.action == CommandLineAction::RunWindowVerbose) {
        log::enableAll();
    } else if (line.action != CommandLineAction::RunWindow) {
        return answerCommandLine(line);
    }
    log::record(log::Category::Ui, [] { return std::string("tyqlmftp " TYQ_VERSION " starting"); });
    // The toolkit aborts without a display; say so instead.
    if (displayMissing([](const char* name) { return std::getenv(name); })) {
        return answerNoDisplay();
    }
    QApplication application(argc, argv);
    ui::installLogging();
    introduceToTheDesktop();

    const AppFolders folders = defaultFolders();
    desktop::SingleInstance instance(folders.settingsFolder);
    if (instance.handedOver()) {
        return 0;  // the running window has been raised instead
    }
    // Before the window is up, the start-up question is what is on screen.
    const auto raiseQuestion = [] {
        logRaised();
        if (QWidget* modal = QApplication::activeModalWidget()) {
            desktop::SingleInstance::raiseWindow(*modal);
        }
    };
    instance.onRaise(raiseQuestion);

    ui::QtPrompter prompter;
    int endedBy = 0;
    initInstance(folders, prompter, [&](ui::CMainDlg& window) {
        instance.onRaise([&window] {
            logRaised();
            desktop::SingleInstance::raiseWindow(window);
        });
        prompter.setMainWindow(&window);
        // A termination request stops a running command cleanly first.
        const SignalWatcher watcher([&window, &endedBy](int signal) {
            endedBy = signal;
            window.endOnRequest();
        });
        window.exec();
        prompter.setMainWindow(nullptr);
        instance.onRaise(raiseQuestion);
    });
    // The shell's convention for a program ended by a signal.
    return endedBy != 0 ? 128 + endedBy : 0;
}

}  // namespace tyq::app
