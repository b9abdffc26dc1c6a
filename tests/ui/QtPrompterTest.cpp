#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "ui/QtPrompter.h"

using namespace tyq;

class QtPrompterTest : public QObject {
    Q_OBJECT

  private slots:
    void boxes_data() {
        QTest::addColumn<int>("icon");
        QTest::addColumn<bool>("yesNo");
        QTest::addColumn<int>("expectedIcon");
        QTest::addColumn<bool>("noByDefault");
        QTest::newRow("question") << int(PromptIcon::Question) << true << int(QMessageBox::Question)
                                  << false;
        QTest::newRow("error") << int(PromptIcon::Error) << false << int(QMessageBox::Critical)
                               << false;
        QTest::newRow("stop") << int(PromptIcon::Stop) << false << int(QMessageBox::Critical)
                              << false;
        QTest::newRow("information")
            << int(PromptIcon::Information) << false << int(QMessageBox::Information) << false;
        QTest::newRow("none") << int(PromptIcon::None) << true << int(QMessageBox::NoIcon) << false;
        QTest::newRow("warning, No the default")
            << int(PromptIcon::Warning) << true << int(QMessageBox::Warning) << true;
    }
    void boxes() {
        QFETCH(int, icon);
        QFETCH(bool, yesNo);
        QFETCH(int, expectedIcon);
        QFETCH(bool, noByDefault);
        ui::QtPrompter prompter;
        const std::string text = "Unable to create the directory\n/data/<b>QLM</b>";
        const auto box = prompter.makeBox(
            Prompt{text, yesNo ? PromptButtons::YesNo : PromptButtons::Ok, PromptIcon(icon),
                   PromptOwner::MainWindow, noByDefault ? PromptAnswer::No : PromptAnswer::Yes});
        QCOMPARE(box->windowTitle(), QStringLiteral("Tessary FTP Utility (ORV Mail)"));
        QCOMPARE(box->text(), QString::fromStdString(text));
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(int(box->icon()), expectedIcon);
        if (yesNo) {
            QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
            QCOMPARE(box->defaultButton(),
                     box->button(noByDefault ? QMessageBox::No : QMessageBox::Yes));
            QCOMPARE(box->escapeButton(), box->button(QMessageBox::No));
        } else {
            QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        }
    }

    void owner() {
        ui::QtPrompter prompter;
        QWidget window;
        QVERIFY(prompter.makeBox(Prompt{"a"})->parentWidget() == nullptr);
        prompter.setMainWindow(&window);
        QCOMPARE(prompter.makeBox(Prompt{"a"})->parentWidget(), &window);
        QVERIFY(prompter
                    .makeBox(Prompt{"a", PromptButtons::YesNo, PromptIcon::None, PromptOwner::None})
                    ->parentWidget() == nullptr);
    }
};

QTEST_MAIN(QtPrompterTest)
#include "QtPrompterTest.moc"
