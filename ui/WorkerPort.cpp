#include "ui/WorkerPort.h"

#include <QMetaObject>
#include <QThread>

namespace tyq::ui {
namespace {

constexpr std::chrono::milliseconds kBytesInterval{100};

}  // namespace

WorkerPort::WorkerPort(QObject& context, MainWindowPort& window, Prompter& prompter,
                       std::stop_token stop)
    : context_(&context), window_(window), prompter_(prompter), stop_(std::move(stop)) {}

void WorkerPort::onWindowThread(const std::function<void()>& work) const {
    if (context_ == nullptr || QThread::currentThread() == context_->thread()) {
        work();
        return;
    }
    // Exceptions must not cross the window's event loop: carried over instead.
    std::exception_ptr error;
    QMetaObject::invokeMethod(
        context_.data(),
        [&] {
            try {
                work();
            } catch (...) {
                error = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (error) {
        std::rethrow_exception(error);
    }
}

StepOneTexts WorkerPort::takeStepOneFields() {
    StepOneTexts texts;
    onWindowThread([&] { texts = window_.takeStepOneFields(); });
    return texts;
}

std::string WorkerPort::userId() const {
    std::string id;
    onWindowThread([&] { id = window_.userId(); });
    return id;
}

bool WorkerPort::aolChecked() const {
    bool checked = false;
    onWindowThread([&] { checked = window_.aolChecked(); });
    return checked;
}

void WorkerPort::setProgressText(const std::string& text) {
    onWindowThread([&] { window_.setProgressText(text); });
}

void WorkerPort::setProgressDetail(const std::string& text) {
    onWindowThread([&] { window_.setProgressDetail(text); });
}

void WorkerPort::focusPassword() {
    onWindowThread([&] { window_.focusPassword(); });
}

void WorkerPort::focusProgressText() {
    onWindowThread([&] { window_.focusProgressText(); });
}

void WorkerPort::setProgressBytes(const ByteProgress& progress) {
    {
        const std::lock_guard<std::mutex> lock(bytesMutex_);
        const auto now = std::chrono::steady_clock::now();
        const bool itemDone = progress.itemTotal >= 0 && progress.itemDone >= progress.itemTotal;
        const bool newItem = progress.itemNumber != lastItem_;
        if (!itemDone && !newItem && now - lastBytes_ < kBytesInterval) {
            return;
        }
        lastBytes_ = now;
        lastItem_ = progress.itemNumber;
    }
    if (context_ == nullptr) {
        return;
    }
    // Queued, not waited for: the transfer goes on while the window paints.
    QMetaObject::invokeMethod(
        context_.data(), [window = &window_, progress] { window->setProgressBytes(progress); },
        Qt::QueuedConnection);
}

void WorkerPort::runOnWindowThread(const std::function<void()>& work) {
    onWindowThread(work);
}

PromptAnswer WorkerPort::ask(const Prompt& prompt) {
    PromptAnswer answer = PromptAnswer::No;
    onWindowThread([&] { answer = prompter_.ask(prompt); });
    return answer;
}

}  // namespace tyq::ui
