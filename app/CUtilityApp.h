#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "common/Prompter.h"
#include "settings/Secrets.h"

namespace tyq::ui {
class CMainDlg;
}

namespace tyq::app {

// Where the program finds its settings file and its own libraries.
struct AppFolders {
    std::filesystem::path settingsFolder;
    std::filesystem::path libraryFolder;
    // The passwords, while the user keeps them in the keyring.
    std::shared_ptr<settings::SecretStore> secrets = nullptr;
};

// The application: the toolkit, the start-up question, one modal run of the
// main window, the end.
class CUtilityApp {
  public:
    // Runs the main window until it closes.
    using ModalRun = std::function<void(ui::CMainDlg&)>;

    // The whole program; returns the process's exit status.
    int run(int argc, char** argv);

    // Start-up once the toolkit is up: the AOL question when the settings say
    // the user connects through AOL (No ends here, nothing written), then the
    // main window, run modally. Returns false: there is no message loop of the
    // program's own, and the process ends.
    static bool initInstance(const AppFolders& folders, Prompter& prompter,
                             const ModalRun& runModal);

    // The settings folder and the program's own folder.
    static AppFolders defaultFolders();
};

}  // namespace tyq::app
