// The three steps through the main window's own buttons, with the real
// download and unzip commands, a real FTP server on loopback and a real
// encrypted archive.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <cstdlib>

#include "download/DownloadFiles.h"
#include "support/FtpServer.h"
#include "support/ScriptedPrompter.h"
#include "support/TempDir.h"
#include "ui/CMainDlg.h"

using namespace tyq;
using tyq::test::readFile;
using tyq::test::TempDir;
using tyq::test::writeFile;

class StepsTest : public QObject {
    Q_OBJECT

  private slots:
    void downloadUnzipAndOk() {
        TempDir work;  // current directory: the transfer log lands here
        TempDir mailbox;
        TempDir settingsFolder;
        const auto local = work / "QLM data";

        // The mailbox: one archive with the zip password, one other file.
        writeFile(work / "QLMDATA.TXT", "ORV data\r\n");
        const std::string zip = "cd '" + work.path().string() + "' && zip -q -P 'zip pw' '" +
                                (mailbox / "QLM0101.ZIP").string() + "' QLMDATA.TXT";
        QCOMPARE(std::system(zip.c_str()), 0);
        std::filesystem::remove(work / "QLMDATA.TXT");
        writeFile(mailbox / "README.TXT", "not an archive");
        test::FtpServer server(test::FtpServer::pyftpdlib(mailbox.path(), "orv7", "ftp pw"));

        // Ticked AOL box: no dial-up check.
        writeFile(settingsFolder / "TYFTP.INI", "[QLMORVMAIL]\nQLMHost=127.0.0.1\nPort=" +
                                                    std::to_string(server.port()) + "\nAOL=1\n");
        const settings::ProfileStore profiles(settingsFolder.path());
        test::ScriptedPrompter prompter({PromptAnswer::Yes});
        download::resetDownloadCounterForTests();
        const auto start = std::filesystem::current_path();
        std::filesystem::current_path(work.path());

        ui::CMainDlg window(profiles, prompter, TYQ_BIN_DIR);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto field = [&](const char* id) { return window.findChild<QLineEdit*>(id); };
        auto click = [&](const char* id) {
            QTest::mouseClick(window.findChild<QPushButton*>(id), Qt::LeftButton);
        };
        auto* progress = window.findChild<QLabel*>("1007");
        field("1000")->setText("orv7");
        field("1001")->setText("ftp pw");
        field("1002")->setText("zip pw");
        field("1003")->setText(QString::fromStdString(local.string()));

        click("1004");
        QCOMPARE(prompter.texts(), std::vector<std::string>{"The directory " + local.string() +
                                                            " does not exist.\nDo you want to "
                                                            "create the directory?"});
        QCOMPARE(progress->text(), QStringLiteral("Downloading Finished!"));
        QVERIFY(std::filesystem::exists(local / "QLM0101.ZIP"));
        QVERIFY(std::filesystem::exists(work / "QLMTYFTP.Log"));

        click("1005");
        QCOMPARE(progress->text(), QStringLiteral("Unzipping Finished!"));
        QCOMPARE(readFile(local / "QLMDATA.TXT"), std::string("ORV data\r\n"));
        QVERIFY(!std::filesystem::exists(local / "QLM0101.ZIP"));

        click("1006");
        std::filesystem::current_path(start);
        QCOMPARE(window.result(), int(QDialog::Accepted));
        QCOMPARE(prompter.asked.size(), std::size_t(1));  // no stop box on the way
        const std::string ini = readFile(settingsFolder / "TYFTP.INI");
        QVERIFY(ini.find("User=orv7\n") != std::string::npos);
        QVERIFY(ini.find("Local=" + local.string() + "\n") != std::string::npos);
    }
};

QTEST_MAIN(StepsTest)
#include "StepsTest.moc"
