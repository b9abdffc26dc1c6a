// The window's commands: running one, and the Step 2 and Step 3 commands as
// jobs the window answers while they run.

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLineEdit>
#include <QPushButton>
#include <exception>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "common/DiskFullError.h"
#include "ui/CMainDlg.h"
#include "ui/CommandJob.h"

namespace tyq::ui {

namespace {

// A command whose thread could not start: said as it is.
struct NotStarted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What the stop box says about an error that left a command.
std::string failureText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const DiskFullError& failure) {
        return failure.what();
    } catch (const NotStarted& failure) {
        return failure.what();
    } catch (const std::exception& failure) {
        return std::string("The command ended with an unexpected error: ") + failure.what();
    } catch (...) {
        return "The command ended with an unexpected error.";
    }
}

}  // namespace

void CMainDlg::reportFailure(const std::exception_ptr& error) {
    try {
        prompter_.ask(Prompt{failureText(error), PromptButtons::Ok, PromptIcon::Stop,
                             PromptOwner::MainWindow});
    } catch (...) {
        // Nothing is left to report it with; the window carries on.
    }
}

void CMainDlg::runCommand(const std::function<void()>& command) {
    try {
        command();
    } catch (...) {
        reportFailure(std::current_exception());
    }
}

void CMainDlg::startJob(
    const std::function<commands::CommandOutcome(MainWindowPort&, Prompter&)>& command,
    const char* stopQuestion, const char* itemWord, bool fromServer) {
    if (job_ != nullptr) {
        return;  // one command at a time
    }
    job_ = std::make_unique<CommandJob>(
        command, CommandJob::WindowValues{fieldsNow(), m_strUser, aol_->isChecked()}, counters_,
        prompter_, *this);
    jobState_ = JobState::Running;
    stopQuestion_ = stopQuestion;
    itemWord_ = QString::fromUtf8(itemWord);
    jobStarted_ = std::chrono::steady_clock::now();
    connectJob();
    disableControls();
    area_->setWaitsOnServer(fromServer);
    area_->startRun();
    try {
        job_->start();
    } catch (const std::system_error& failure) {
        job_.reset();
        restoreControls();
        reportFailure(std::make_exception_ptr(
            NotStarted(std::string("The command could not start: ") + failure.what())));
        emit commandEnded();
    }
}

void CMainDlg::connectJob() {
    // Queued, so the window takes them in the order the command gave them,
    // whatever thread of the command they come from.
    const CommandJob* job = job_.get();
    const auto queued = Qt::QueuedConnection;
    connect(
        job, &CommandJob::progressText, this,
        [this](const std::string& text) { setProgressText(text); }, queued);
    connect(
        job, &CommandJob::progressDetail, this,
        [this](const std::string& text) { setProgressDetail(text); }, queued);
    connect(
        job, &CommandJob::progressBytes, this,
        [this](const ByteProgress& progress) { setProgressBytes(progress); }, queued);
    connect(job, &CommandJob::focusProgressTextAsked, this, &CMainDlg::focusProgressText, queued);
    connect(job, &CommandJob::focusPasswordAsked, this, &CMainDlg::focusPassword, queued);
    connect(job, &CommandJob::fieldsTaken, this, &CMainDlg::copyFieldsToMembers, queued);
    connect(job, &CommandJob::finished, this, &CMainDlg::onJobFinished, queued);
}

void CMainDlg::disableControls() {
    focusBefore_ = QApplication::focusWidget();
    disabled_.clear();
    const auto controls = findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    if (focusBefore_ != nullptr && focusBefore_ != cancel_ &&
        controls.contains(focusBefore_.data())) {
        // Disabling the focused control would pass the focus along the tab
        // chain; Cancel is where it ends up anyway.
        cancel_->setFocus(Qt::OtherFocusReason);
    }
    // Help too: it changes the current directory, which the command's
    // relative paths rely on.
    for (QWidget* control : controls) {
        const bool acts = qobject_cast<QAbstractButton*>(control) != nullptr ||
                          qobject_cast<QLineEdit*>(control) != nullptr;
        if (acts && control != cancel_ && control->isEnabled()) {
            control->setEnabled(false);
            disabled_.emplace_back(control);
        }
    }
}

void CMainDlg::restoreControls() {
    area_->endRun();
    for (const auto& control : disabled_) {
        if (control != nullptr) {
            control->setEnabled(true);
        }
    }
    disabled_.clear();
    // Where the command asked for it, else back where it was unless the
    // command moved it.
    if (focusAfter_ != nullptr) {
        focusAfter_->setFocus(Qt::OtherFocusReason);
        focusAfter_ = nullptr;
    } else if (focusBefore_ != nullptr && QApplication::focusWidget() == cancel_ &&
               focusBefore_->isEnabled()) {
        focusBefore_->setFocus(Qt::OtherFocusReason);
    }
    focusBefore_ = nullptr;
}

void CMainDlg::onJobFinished(const commands::CommandOutcome& outcome) {
    if (job_ == nullptr) {
        return;
    }
    const std::exception_ptr error = job_->finish();
    if (!error && !job_->stopRequested()) {
        sumUp(outcome, std::chrono::steady_clock::now() - jobStarted_);
    }
    const JobState state = jobState_;
    if (state == JobState::Asking) {
        // The stop question has lost its reason: it goes, and the end shows.
        closeModalBoxes();
    }
    job_.reset();
    restoreControls();
    if (error) {
        reportFailure(error);
    }
    if (state == JobState::Ending) {
        QDialog::done(QDialog::Rejected);
    } else if (state == JobState::Closing) {
        reject();
    }
    emit commandEnded();
}

void CMainDlg::askToStop(bool fromCloseBox) {
    if (job_ == nullptr || jobState_ != JobState::Running || job_->stopRequested()) {
        return;
    }
    const CommandJob* asked = job_.get();
    jobState_ = JobState::Asking;
    PromptAnswer answer = PromptAnswer::No;
    try {
        answer = prompter_.ask(Prompt{stopQuestion_, PromptButtons::YesNo, PromptIcon::Question,
                                      PromptOwner::MainWindow});
    } catch (...) {
        // No answer is No: the command goes on.
    }
    // The command may have ended while the question was open: there is
    // nothing left to stop, and the window stays to show how it ended.
    if (job_.get() != asked) {
        return;
    }
    if (jobState_ != JobState::Asking) {
        return;  // an end was asked for meanwhile
    }
    jobState_ = JobState::Running;
    if (answer != PromptAnswer::Yes) {
        return;
    }
    job_->stop();
    if (fromCloseBox) {
        jobState_ = JobState::Closing;
    }
}

void CMainDlg::closeModalBoxes() {
    // Each box answers as its Escape would; a box that will not close is
    // left after a few tries rather than looping.
    for (int i = 0; i < 16; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == this) {
            return;
        }
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        } else {
            modal->close();
        }
    }
}

void CMainDlg::endOnRequest() {
    closeModalBoxes();
    if (job_ != nullptr) {
        // Without its boxes too: nobody is there to answer them.
        jobState_ = JobState::Ending;
        job_->leave();
        return;
    }
    QDialog::done(QDialog::Rejected);
}

void CMainDlg::closeEvent(QCloseEvent* event) {
    if (job_ != nullptr) {
        event->ignore();
        askToStop(true);
        return;
    }
    QDialog::closeEvent(event);
}

void CMainDlg::accept() {
    if (job_ != nullptr) {
        return;  // OK waits until the command has ended, as its button does
    }
    runCommand([this] { onOk(); });
}

void CMainDlg::reject() {
    if (job_ != nullptr) {
        askToStop(false);
        return;
    }
    runCommand([this] { onCancel(); });
}

}  // namespace tyq::ui
