// The real window running the real Download or Unzip command, measured while
// it works: how late a 10 ms timer of the window fires (the window's
// responsiveness), the process's peak memory, and how long a stop takes from
// the user's Yes until the command has ended with nothing partial left.
//
//   bench_window latency download|unzip FOLDER [PORT USER PASSWORD] [ZIPPASS]
//       prints "latency p50 <ms> p99 <ms> max <ms> ticks <n> wall <s> hwm <kB> rest <kB>"
//       (rest: the peak before the command, the window's own share)
//   bench_window stop download FOLDER PORT USER PASSWORD COUNT
//       prints "stop <ms>" for each stop and "leftovers <n>"
//
// Settings go to a private settings folder ($XDG_CONFIG_HOME is set by the
// caller); every question is answered Yes.

#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/Prompter.h"
#include "common/StagingFolder.h"
#include "download/PartialStore.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "settings/ProfileStore.h"
#include "ui/CMainDlg.h"
#include "ui/ControlIds.h"

namespace {

using Clock = std::chrono::steady_clock;

class YesPrompter : public tyq::Prompter {
  public:
    Clock::time_point stopAnswered{};
    tyq::PromptAnswer ask(const tyq::Prompt& prompt) override {
        if (prompt.text.rfind("Stop", 0) == 0) {
            stopAnswered = Clock::now();
        }
        return prompt.buttons == tyq::PromptButtons::YesNo ? tyq::PromptAnswer::Yes
                                                           : tyq::PromptAnswer::Ok;
    }
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// What a stop left of the file under way waits in the partial folder on
// purpose, for the next run to go on from: not a leftover.
std::size_t leftovers(const std::filesystem::path& folder) {
    std::size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
        const auto name = entry.path().filename().string();
        count += tyq::isTemporaryName(name) && name != tyq::download::kPartialFolderName ? 1 : 0;
    }
    return count;
}

QPushButton* button(tyq::ui::CMainDlg& window, int id) {
    return window.findChild<QPushButton*>(tyq::ui::controlName(id));
}

// Clicks a command's button and returns once the command has ended.
void runToEnd(tyq::ui::CMainDlg& window, int id) {
    QEventLoop loop;
    QObject::connect(&window, &tyq::ui::CMainDlg::commandEnded, &loop, &QEventLoop::quit);
    button(window, id)->click();
    if (window.commandRunning()) {
        loop.exec();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: see the source's head\n");
        return 2;
    }
    const std::string mode = argv[1];
    const bool download = std::string(argv[2]) == "download";
    const std::filesystem::path folder = argv[3];
    QApplication application(argc, argv);

    const char* config = std::getenv("XDG_CONFIG_HOME");
    const tyq::settings::ProfileStore profiles(std::filesystem::path(config ? config : "/tmp") /
                                               "tyqlmftp");
    using namespace tyq::settings;
    auto write = [&](const char* key, std::string value) {
        profiles.writeString(kSection, key, value, kFileName);
    };
    write(kLocal, folder.string());
    write(kAol, "1");
    if (download && argc >= 7) {
        write(kHost, "127.0.0.1");
        write(kPort, argv[4]);
        write(kUser, argv[5]);
        write(kPass, argv[6]);
    } else if (!download && argc >= 5) {
        std::string zip = argv[4];
        scrambleZipPassword(zip);
        write(kZipPass, zip);
    }

    YesPrompter prompter;
    tyq::ui::CMainDlg window(profiles, prompter,
                             QCoreApplication::applicationDirPath().toStdString());
    window.show();
    QApplication::processEvents();
    const int id = download ? tyq::ui::ids::kDownload : tyq::ui::ids::kUnzip;

    if (mode == "latency") {
        std::vector<double> late;
        QElapsedTimer since;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(10);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            late.push_back(std::max<qint64>(0, since.nsecsElapsed() - 10'000'000) / 1e6);
            since.restart();
        });
        since.start();
        tick.start();
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        const auto start = Clock::now();
        runToEnd(window, id);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        tick.stop();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("latency p50 %.2f p99 %.2f max %.2f ticks %zu wall %.2f hwm %ld rest %ld\n",
                    percentile(late, 0.5), percentile(late, 0.99), percentile(late, 1.0),
                    late.size(), wall, usage.ru_maxrss, before.ru_maxrss);
        return 0;
    }

    // Stops at random points: a Cancel click, answered Yes, from 0.05 s to
    // 0.8 s into the command.
    const int count = argc >= 8 ? std::atoi(argv[7]) : 10;
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delay(50, 800);
    for (int i = 0; i < count; ++i) {
        QTimer::singleShot(delay(random), &window, [&] {
            if (window.commandRunning()) {
                button(window, tyq::ui::ids::kCancel)->click();
            }
        });
        prompter.stopAnswered = {};
        runToEnd(window, id);
        const auto ended = Clock::now();
        if (prompter.stopAnswered == Clock::time_point{}) {
            std::printf("stop none\n");  // the command ended first
        } else {
            std::printf(
                "stop %.1f\n",
                std::chrono::duration<double, std::milli>(ended - prompter.stopAnswered).count());
        }
        std::fflush(stdout);
    }
    std::printf("leftovers %zu\n", leftovers(folder));
    return 0;
}
