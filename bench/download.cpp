// Runs the mailbox transfer the download command runs, with a window that
// only records its progress line. The settings come from XDG_CONFIG_HOME, as
// in the program; the transfer log goes to the current directory.
//
//   bench_download USER
//
// Exit status 0 when the log-in succeeded and every file arrived.

#include <cstdio>
#include <string>

#include "commands/MailboxTransfer.h"
#include "settings/Keys.h"
#include "settings/ProfileStore.h"

namespace {

class QuietWindow : public tyq::MainWindowPort {
  public:
    explicit QuietWindow(std::string user) : user_(std::move(user)) {}
    tyq::StepOneTexts takeStepOneFields() override { return {user_, {}, {}, {}}; }
    std::string userId() const override { return user_; }
    bool aolChecked() const override { return false; }
    void setProgressText(const std::string& text) override { last = text; }
    void setProgressDetail(const std::string&) override {}
    void focusProgressText() override {}
    tyq::ProcessCounters& counters() override { return counters_; }
    std::string last;

  private:
    std::string user_;
    tyq::ProcessCounters counters_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_download USER\n");
        return 2;
    }
    QuietWindow window(argv[1]);
    const tyq::settings::ProfileStore profiles(tyq::settings::defaultSettingsFolder());
    // No dial-up libraries in this folder: the dial-up check stays silent.
    const bool loggedIn = tyq::commands::transferMailbox(window, profiles, "/nonexistent");
    if (!loggedIn || window.last != tyq::download::kFinishedText) {
        std::fprintf(stderr, "transfer failed: %s\n", window.last.c_str());
        return 1;
    }
    return 0;
}
