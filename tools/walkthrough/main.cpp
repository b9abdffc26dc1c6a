// Drives the real main window through Download, Unzip and OK with nobody at
// the keyboard, printing what a user would see. Two uses:
//
//   tyq_walkthrough settings KEY=VALUE...
//       writes each value into the settings file the program reads
//       ($XDG_CONFIG_HOME/tyqlmftp), the zip password scrambled as the
//       program stores it;
//   tyq_walkthrough steps
//       opens the main window on those settings, clicks "&Download Files",
//       "&Unzip Download Files" and "&OK", answers every question with Yes,
//       prints each progress text and box as it appears, then the transfer
//       log of the current directory and the local folder's contents.
//
// The exit status of "steps" is 0 when both commands finished and no error
// box appeared.
#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/OfferHangUp.h"
#include "commands/DownloadCommand.h"
#include "commands/MailboxTransfer.h"
#include "commands/UnzipCommand.h"
#include "common/FileSearch.h"
#include "common/Paths.h"
#include "desktop/Trash.h"
#include "download/TransferLog.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "settings/ProfileStore.h"
#include "ui/CMainDlg.h"
#include "ui/ControlIds.h"

namespace {

using namespace tyq;

constexpr char kUnzipFinished[] = "Unzipping Finished!";

// Prints a text under a label, continuation lines lined up beneath the first.
void print(const std::string& label, const std::string& text) {
    const std::string indent(label.size(), ' ');
    std::istringstream lines(text);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string& lead = first ? label : indent;
        std::cout << (line.empty() ? lead.substr(0, lead.find_last_not_of(' ') + 1) : lead + line)
                  << '\n';
        first = false;
    }
    if (first) {
        std::cout << label << '\n';
    }
    std::cout.flush();
}

// Answers every question with Yes, as the user of the demo would.
class YesPrompter : public Prompter {
  public:
    PromptAnswer ask(const Prompt& prompt) override {
        if (prompt.icon == PromptIcon::Error || prompt.icon == PromptIcon::Stop) {
            errors = true;
        }
        if (prompt.buttons == PromptButtons::YesNo) {
            print("question: ", prompt.text + "\n-> Yes");
            return PromptAnswer::Yes;
        }
        print("message:  ", prompt.text);
        return PromptAnswer::Ok;
    }
    bool errors = false;
};

// The window's own port; every new progress text is also printed.
class PrintingPort : public MainWindowPort {
  public:
    explicit PrintingPort(MainWindowPort& window) : window_(window) {}

    StepOneTexts takeStepOneFields() override { return window_.takeStepOneFields(); }
    std::string userId() const override { return window_.userId(); }
    bool aolChecked() const override { return window_.aolChecked(); }
    void setProgressText(const std::string& text) override {
        window_.setProgressText(text);
        // A text repeated for each file ("Finding the Files...") prints once.
        if (text != last) {
            print("progress: ", text);
        }
        last = text;
    }
    void setProgressDetail(const std::string& text) override {
        window_.setProgressDetail(text);
        if (!text.empty()) {
            print("detail:   ", text);
        }
    }
    void focusProgressText() override { window_.focusProgressText(); }
    void setProgressBytes(const ByteProgress& progress) override {
        window_.setProgressBytes(progress);
    }
    void runOnWindowThread(const std::function<void()>& work) override {
        window_.runOnWindowThread(work);
    }
    std::stop_token stopToken() const override { return window_.stopToken(); }
    ProcessCounters& counters() override { return window_.counters(); }

    std::string last;

  private:
    MainWindowPort& window_;
};

int writeSettings(int argc, char** argv) {
    const settings::ProfileStore profiles(settings::defaultSettingsFolder());
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto equals = argument.find('=');
        if (equals == std::string::npos || equals == 0) {
            std::cerr << "tyq_walkthrough: expected KEY=VALUE, got \"" << argument << "\"\n";
            return 2;
        }
        const std::string key = argument.substr(0, equals);
        std::string value = argument.substr(equals + 1);
        if (iequals(key, settings::kZipPass)) {
            settings::scrambleZipPassword(value);
        }
        if (!profiles.writeString(settings::kSection, key, value, settings::kFileName)) {
            std::cerr << "tyq_walkthrough: cannot write " << key << " into "
                      << profiles.resolve(settings::kFileName) << '\n';
            return 1;
        }
    }
    return 0;
}

void printTransferLog() {
    const std::string path = download::transferLogPath();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        print("log:      ", "no transfer log at " + path);
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::cout << "\nTransfer log " << path << ":\n";
    print("  ", text.str());
}

void printFolder(const std::string& folder) {
    std::cout << "\nLocal folder " << folder << ":\n";
    std::error_code error;
    std::vector<std::pair<std::string, std::uintmax_t>> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::error_code sizeError;
        const auto size = entry.is_regular_file(sizeError) ? entry.file_size(sizeError) : 0;
        entries.emplace_back(entry.path().filename().string(), size);
    }
    if (error) {
        std::cout << "  cannot be read: " << error.message() << '\n';
        return;
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& [name, size] : entries) {
        std::cout << "  " << name << "  (" << size << " bytes)\n";
    }
    std::cout.flush();
}

int walkSteps(int& argc, char** argv) {
    QApplication application(argc, argv);
    const settings::ProfileStore profiles(settings::defaultSettingsFolder());
    const auto libraryFolder = executableFolder();
    YesPrompter prompter;
    bool downloaded = false;
    bool unzipped = false;

    ui::MainDlgHooks hooks;
    hooks.offerHangUp = [&] { app::OfferHangUp(prompter, libraryFolder); };
    hooks.download = [&](MainWindowPort& window, Prompter&) {
        PrintingPort printing(window);
        auto outcome = commands::downloadFiles(printing, profiles, prompter, libraryFolder,
                                               desktop::moveToTrash);
        downloaded = printing.last == download::kFinishedText;
        return outcome;
    };
    hooks.unzip = [&](MainWindowPort& window, Prompter&) {
        PrintingPort printing(window);
        auto outcome = commands::unzipDownloadFiles(printing, profiles, libraryFolder);
        unzipped = printing.last == kUnzipFinished;
        return outcome;
    };
    ui::CMainDlg window(profiles, prompter, libraryFolder, std::move(hooks));
    window.show();
    QApplication::processEvents();

    auto click = [&](int id, const char* caption) {
        std::cout << "\n[" << caption << "]\n" << std::flush;
        auto* button = window.findChild<QPushButton*>(ui::controlName(id));
        if (button == nullptr) {
            throw std::runtime_error("no button " + std::to_string(id));
        }
        // Back once the command the click started, if any, has ended.
        QEventLoop loop;
        QObject::connect(&window, &ui::CMainDlg::commandEnded, &loop, &QEventLoop::quit);
        button->click();
        if (window.commandRunning()) {
            loop.exec();
        }
        QApplication::processEvents();
    };
    click(ui::ids::kDownload, "Download Files");
    click(ui::ids::kUnzip, "Unzip Download Files");
    click(ui::ids::kOk, "OK");

    printTransferLog();
    printFolder(settings::read(profiles, settings::Key::Local));

    const bool closed = window.result() == QDialog::Accepted;
    return downloaded && unzipped && closed && !prompter.errors ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "settings") {
        return writeSettings(argc, argv);
    }
    if (command == "steps" && argc == 2) {
        return walkSteps(argc, argv);
    }
    std::cerr << "usage: tyq_walkthrough settings KEY=VALUE...\n"
                 "       tyq_walkthrough steps\n";
    return 2;
}
