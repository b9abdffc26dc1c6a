// The three steps through the main window's own buttons, with the real
// download and unzip commands, real FTP servers on loopback and archives made
// by the real tools; checks the settings file, the transfer log and the local
// folder byte for byte once the window has closed.
#include <locale.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/OfferHangUp.h"
#include "commands/DownloadCommand.h"
#include "support/FtpServer.h"
#include "support/ScriptedPrompter.h"
#include "support/TempDir.h"
#include "ui/CMainDlg.h"

using namespace tyq;
using tyq::test::FtpServer;
using tyq::test::readFile;
using tyq::test::TempDir;
using tyq::test::writeFile;
namespace fs = std::filesystem;

namespace {

struct Row {
    const char* name;
    FtpServer::Kind server;
    // Ticked: no dial-up check. Unticked: the check finds the one active
    // connection and passes in silence. OK offers to hang it up either way.
    bool aol;
    // Absent: the download command offers to create it. Present: it holds an
    // earlier run's files and the command offers to delete the QLM ones.
    bool folderExists;
    const char* zipPassword;
    // The settings file's name before the run: any letter case is the file.
    const char* settingsName;
    // Lines of the settings file before the run; "%PORT%" is the server's.
    const char* settingsBefore;
    // The server lists in reverse name order and deletes QLM0102.ZIP once it
    // has listed the mailbox: counted, then failing to download.
    bool vanish = false;
};

// "zip pw\u00e7" ends in C3 A7: scrambled, the A7 becomes a zero byte, which
// only the escaped form can hold. 7-Zip takes ASCII passwords only: that row
// has no AES archive.
const Row kRows[] = {
    {"pyftpdlib, AOL, new folder", FtpServer::Kind::Pyftpdlib, true, false, "zip pw", "TYFTP.INI",
     "[QLMORVMAIL]\nQLMHost=127.0.0.1\nPort=%PORT%\nAOL=1\n"},
    {"pyftpdlib, dial-up, earlier run's folder", FtpServer::Kind::Pyftpdlib, false, true,
     "zip pw\xC3\xA7", "tyftp.ini",
     "; mailbox of the office PC\n[QLMORVMAIL]\nQLMHost=127.0.0.1\nPort=%PORT%\n"},
    {"vsftpd, AOL, new folder", FtpServer::Kind::Vsftpd, true, false, "zip pw", "TYFTP.INI",
     "[QLMORVMAIL]\nQLMHost=127.0.0.1\nPort=%PORT%\nAOL=1\n"},
    {"pyftpdlib, an archive vanishes before its download", FtpServer::Kind::Pyftpdlib, true, false,
     "zip pw", "TYFTP.INI", "[QLMORVMAIL]\nQLMHost=127.0.0.1\nPort=%PORT%\nAOL=1\n", true},
};

bool isAscii(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The zip password as the settings file holds it: every byte XOR 0xA7; a
// value holding a zero byte is written behind "%%", every byte outside
// printable ASCII (and '%') as %XX.
std::string storedZipPassword(const std::string& password) {
    std::string scrambled;
    bool needsEscape = false;
    for (const char c : password) {
        scrambled += static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7);
        needsEscape = needsEscape || scrambled.back() == '\0';
    }
    if (!needsEscape) {
        return scrambled;
    }
    std::string escaped = "%%";
    for (const char c : scrambled) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && byte != '%') {
            escaped += c;
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            escaped += {'%', kHex[byte >> 4], kHex[byte & 15]};
        }
    }
    return escaped;
}

// Every stamp the log may hold for a run between the two moments, in the
// log's own pattern and the POSIX locale.
std::set<std::string> stampsBetween(std::time_t from, std::time_t to) {
    std::set<std::string> stamps;
    const locale_t posix = newlocale(LC_ALL_MASK, "POSIX", nullptr);
    for (std::time_t t = from - from % 60; t <= to; t += 60) {
        std::tm local{};
        localtime_r(&t, &local);
        char text[128];
        const auto n = strftime_l(text, sizeof text, "%A, %B %d, %Y, %I:%M %p", &local, posix);
        stamps.insert(std::string(text, n));
    }
    freelocale(posix);
    return stamps;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

std::string shellQuoted(const fs::path& path) {
    return "'" + replaced(path.string(), "'", "'\\''") + "'";
}

}  // namespace

class StepsTest : public QObject {
    Q_OBJECT

  private slots:
    void downloadUnzipAndOk_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kRows)); ++i) {
            QTest::newRow(kRows[i].name) << i;
        }
    }

    void downloadUnzipAndOk() {
        QFETCH(int, row);
        const Row& r = kRows[row];
        if (r.server == FtpServer::Kind::Vsftpd) {
            if (const auto why = FtpServer::vsftpdUnavailable(); !why.empty()) {
                QSKIP(why.c_str());
            }
        }
        const std::string zipPassword = r.zipPassword;

        TempDir work;  // current directory: the transfer log lands here
        TempDir mailbox;
        TempDir settingsFolder;
        TempDir staging;
        TempDir dialUp;
        const auto local = work / "QLM data";
        // The desktop's trash, where the delete question's Yes sends the
        // earlier run's QLM file.
        fs::create_directories(work / "data");
        setenv("HOME", work.path().c_str(), 1);
        setenv("XDG_DATA_HOME", (work / "data").c_str(), 1);

        // The mailbox: QLM archives of both encryptions, one in lower case,
        // another archive that is downloaded but not unzipped, and a file that
        // is not an archive at all.
        std::map<std::string, std::string> extracted = {
            {"ORV0101.DAT", "20260101,ORV0101,124.50,125.10\r\n"},
            {"ORVCODES.TXT", "ORV0101  North Valley Co-op\r\n"},
            {"ORV0102.DAT", std::string(40000, 'x') + "\r\n"},
            {"bulletin.txt", "Closing figures arrive daily.\r\n"},
        };
        for (const auto& [name, bytes] : extracted) {
            writeFile(staging / name, bytes);
        }
        const std::string cd = "cd " + shellQuoted(staging.path()) + " && ";
        const std::string pw = shellQuoted(zipPassword);
        run(cd + "zip -q -X -P " + pw + " " + shellQuoted(mailbox / "QLM0101.ZIP") +
            " ORV0101.DAT ORVCODES.TXT");
        run(cd + "zip -q -X -P " + pw + " " + shellQuoted(mailbox / "qlm0103.zip") +
            " bulletin.txt");
        const bool aes = isAscii(zipPassword);
        if (aes) {
            run(cd + "7zz a -tzip -mem=AES256 -p" + pw + " -bso0 -bsp0 " +
                shellQuoted(mailbox / "QLM0102.ZIP") + " ORV0102.DAT");
        } else {
            run(cd + "zip -q -X -P " + pw + " " + shellQuoted(mailbox / "QLM0102.ZIP") +
                " ORV0102.DAT");
        }
        run(cd + "zip -q -X " + shellQuoted(mailbox / "OTHER.ZIP") + " ORVCODES.TXT");
        writeFile(mailbox / "README.TXT", "not an archive");
        std::set<std::string> mailboxNames = namesIn(mailbox.path());
        std::vector<std::string> switches;
        if (r.vanish) {
            switches = {"--reverse-listing", "--vanish", "QLM0102.ZIP", "--vanish-after", "1"};
            extracted.erase("ORV0102.DAT");
            mailboxNames.erase("QLM0102.ZIP");
        }

        std::set<std::string> expectedNames = {"OTHER.ZIP"};
        for (const auto& [name, bytes] : extracted) {
            expectedNames.insert(name);
        }
        if (r.folderExists) {
            fs::create_directory(local);
            writeFile(local / "QLMOLD.DAT", "earlier run");
            writeFile(local / "OTHER.ZIP", "older copy");
            writeFile(local / "NOTES.TXT", "the user's own");
            expectedNames.insert("NOTES.TXT");
        }

        std::unique_ptr<FtpServer> server;
        if (r.server == FtpServer::Kind::Vsftpd) {
            server = std::make_unique<FtpServer>(FtpServer::vsftpd(mailbox.path(), "ftp pw"));
        } else {
            server = std::make_unique<FtpServer>(
                FtpServer::pyftpdlib(mailbox.path(), "orv7", "ftp pw", switches));
        }
        const std::string port = std::to_string(server->port());
        const std::string settingsBefore = replaced(r.settingsBefore, "%PORT%", port);
        writeFile(settingsFolder / r.settingsName, settingsBefore);

        // The program's own libraries: the real unzip library, and dial-up
        // libraries that report one active connection.
        fs::create_symlink(fs::path(TYQ_BIN_DIR) / "libtyunzip.so", dialUp / "libtyunzip.so");
        for (const char* library : {"libtyrasapi.so", "libtyrasdlg.so"}) {
            fs::create_symlink(fs::path(TYQ_RAS_DOUBLES) / "full" / library, dialUp / library);
        }
        writeFile(dialUp / "connections", "4711 Office ISP\n");
        setenv("TYQ_RAS_DOUBLE_STATE", dialUp.path().c_str(), 1);

        const settings::ProfileStore profiles(settingsFolder.path());
        test::ScriptedPrompter prompter({PromptAnswer::Yes, PromptAnswer::Yes});
        const auto start = fs::current_path();
        fs::current_path(work.path());
        const std::time_t before = std::time(nullptr);

        ui::MainDlgHooks hooks;
        hooks.offerHangUp = [&] { app::OfferHangUp(prompter, dialUp.path()); };
        ui::CMainDlg window(profiles, prompter, dialUp.path(), std::move(hooks));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto field = [&](const char* id) { return window.findChild<QLineEdit*>(id); };
        // True once the command the click started, if any, has ended.
        auto click = [&](const char* id) {
            QTest::mouseClick(window.findChild<QPushButton*>(id), Qt::LeftButton);
            return QTest::qWaitFor([&] { return !window.commandRunning(); }, 600000);
        };
        auto* progress = window.findChild<QLabel*>("1007");
        QCOMPARE(window.aolChecked(), r.aol);
        field("1000")->setText(QString::fromStdString(server->user()));
        field("1001")->setText("ftp pw");
        field("1002")->setText(QString::fromStdString(zipPassword));
        field("1003")->setText(QString::fromStdString(local.string()));

        // With a helper fetching ahead, the bar's fill, its text and the
        // percentage a screen reader gets agree and never go back; it ends
        // full when every file arrived.
        auto* bar = window.findChild<QProgressBar*>("progressBar");
        std::vector<int> fills;
        const auto watch = QObject::connect(bar, &QProgressBar::valueChanged, [&](int fill) {
            const auto percent =
                QRegularExpression(" \\((\\d+)%\\)").match(bar->accessibleDescription());
            // Before the first count the bar is empty and says nothing.
            const bool agree = bar->format().isEmpty()
                                   ? fill == 0
                                   : percent.hasMatch() && percent.captured(1).toInt() == fill &&
                                         bar->format().contains(QStringLiteral("%1%").arg(fill));
            fills.push_back(agree ? fill : -1);
        });
        QVERIFY(click("1004"));
        QCOMPARE(progress->text(), r.vanish ? QStringLiteral("3 of 4 files downloaded")
                                            : QStringLiteral("Downloading Finished!"));
        QObject::disconnect(watch);
        QVERIFY(!fills.empty() && fills.front() >= 0 && std::ranges::is_sorted(fills));
        QVERIFY(r.vanish || fills.back() == 100);
        QVERIFY(click("1005"));
        QCOMPARE(progress->text(), QStringLiteral("Unzipping Finished!"));
        QVERIFY(click("1006"));
        const std::time_t after = std::time(nullptr);
        fs::current_path(start);
        QCOMPARE(window.result(), int(QDialog::Accepted));

        std::vector<std::string> questions;
        if (r.folderExists) {
            questions.push_back("Do you want to move 1 QLM file in the directory " +
                                local.string() + " to the trash?\nQLMOLD.DAT");
        } else {
            questions.push_back("The directory " + local.string() +
                                " does not exist.\nDo you want to create the directory?");
        }
        questions.push_back("Do you want to close connection to Office ISP?");
        QCOMPARE(prompter.texts(), questions);  // and no error box on the way

        // Settings: the file of any letter case is rewritten in place, the
        // Step 1 values added in their order, the zip password scrambled.
        QCOMPARE(namesIn(settingsFolder.path()), std::set<std::string>{r.settingsName});
        const std::string settingsAfter =
            (r.aol ? settingsBefore : settingsBefore + "AOL=0\n") + "User=" + server->user() +
            "\nPass=ftp pw\nFileUnZipPass=" + storedZipPassword(zipPassword) +
            "\nLocal=" + local.string() + "\n";
        QCOMPARE(readFile(settingsFolder / r.settingsName), settingsAfter);

        // The transfer log: start stamp, the count of the mailbox's archives,
        // each failed file with its place in the listing, end stamp; CR LF
        // line ends. Reversed, the archives are listed qlm0103.zip,
        // QLM0102.ZIP, QLM0101.ZIP, OTHER.ZIP.
        const std::string log = readFile(work / "QLMTYFTP.Log");
        const std::string startLine =
            std::string("\tStart Ftp Connection\r\n\r\nNumber of Files in the Mail Box:4") +
            (r.vanish ? "\r\n 2 QLM0102.ZIP" : "") + "\r\n";
        const auto middle = log.find(startLine);
        QVERIFY2(middle != std::string::npos, log.c_str());
        const auto stamps = stampsBetween(before, after);
        QVERIFY2(stamps.count(log.substr(0, middle)) == 1, log.c_str());
        QVERIFY2(stamps.count(log.substr(middle + startLine.size())) == 1, log.c_str());

        // The folder: the archives' files, the other archive as the server has
        // it, the earlier run's QLM file gone, the user's own file kept.
        QCOMPARE(namesIn(local), expectedNames);
        QCOMPARE(readFile(work / "data" / "Trash" / "files" / "QLMOLD.DAT"),
                 std::string(r.folderExists ? "earlier run" : ""));
        for (const auto& [name, bytes] : extracted) {
            QCOMPARE(readFile(local / name), bytes);
        }
        QCOMPARE(readFile(local / "OTHER.ZIP"), readFile(mailbox / "OTHER.ZIP"));
        QCOMPARE(namesIn(mailbox.path()), mailboxNames);  // untouched by the program

        // The dial-up check enumerates only off AOL; the way out always does,
        // and hangs up on Yes.
        const std::string calls = readFile(dialUp / "calls");
        int enumerations = 0;
        for (auto at = calls.find("RasEnumConnectionsA"); at != std::string::npos;
             at = calls.find("RasEnumConnectionsA", at + 1)) {
            ++enumerations;
        }
        QCOMPARE(enumerations, r.aol ? 1 : 2);
        QVERIFY2(calls.find("RasHangUpA 4711\n") != std::string::npos, calls.c_str());
    }
};

QTEST_MAIN(StepsTest)
#include "StepsTest.moc"
