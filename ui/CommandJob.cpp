#include "ui/CommandJob.h"

#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <memory>

#include "ui/Logging.h"

namespace tyq::ui {
namespace {

constexpr std::chrono::milliseconds kBytesInterval{100};

// One call carried over to the window's thread, and how far it has come.
struct Query {
    enum class State { Waiting, Running, Done, Abandoned };
    std::mutex mutex;
    std::condition_variable_any changed;
    State state = State::Waiting;
    std::exception_ptr error;

    // On the window's thread: runs work unless the call was given up or
    // stopped first, and keeps what it threw.
    void answer(const std::stop_token& stop, const std::function<void()>& work) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            // Also when the command has not yet seen the stop.
            if (state != State::Waiting || stop.stop_requested()) {
                return;
            }
            state = State::Running;
        }
        std::exception_ptr thrown;
        try {
            work();
        } catch (...) {
            // Exceptions must not cross the window's event loop.
            thrown = std::current_exception();
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            error = thrown;
            state = State::Done;
        }
        changed.notify_all();
    }
};

// Runs work on context's thread while the caller waits; what work throws is
// thrown again here. Work that has not begun when a stop is asked for never
// runs; work that has is waited for, unless it may be left running (it then
// owns all it touches). True when work ran to its end.
bool runOnThreadOf(QObject* context, const std::stop_token& stop, std::function<void()> work,
                   bool mayBeLeft) {
    if (context == nullptr) {
        return false;
    }
    if (QThread::currentThread() == context->thread()) {
        work();
        return true;
    }
    if (stop.stop_requested()) {
        return false;
    }
    auto query = std::make_shared<Query>();
    QMetaObject::invokeMethod(
        context, [query, stop, work = std::move(work)] { query->answer(stop, work); },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(query->mutex);
    const auto done = [&] { return query->state == Query::State::Done; };
    if (!query->changed.wait(lock, stop, done)) {
        if (query->state == Query::State::Waiting || mayBeLeft) {
            query->state = Query::State::Abandoned;
            return false;
        }
        // Work under way may use what the caller holds: waited for to its end.
        query->changed.wait(lock, done);
    }
    if (query->error) {
        std::rethrow_exception(query->error);
    }
    return true;
}

}  // namespace

CommandJob::CommandJob(Command command, WindowValues values, ProcessCounters& counters,
                       Prompter& prompter, QObject& window)
    : command_(std::move(command)),
      values_(std::move(values)),
      counters_(counters),
      prompter_(prompter),
      window_(&window) {}

CommandJob::~CommandJob() {
    // A job that has ended keeps its stop state: the command's token may
    // outlive it.
    if (thread_.joinable()) {
        leave();
        thread_.join();
    }
}

void CommandJob::start() {
    thread_ = std::jthread([this] { run(); });
}

void CommandJob::run() {
    qCDebug(lcJob) << "command started";
    commands::CommandOutcome outcome;
    try {
        outcome = command_(*this, *this);
    } catch (...) {
        error_ = std::current_exception();
    }
    qCDebug(lcJob) << (error_                   ? "command ended by an exception"
                       : stop_.stop_requested() ? "command ended after a stop"
                                                : "command ended");
    emit finished(outcome);
}

std::exception_ptr CommandJob::finish() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return error_;
}

StepOneTexts CommandJob::takeStepOneFields() {
    fieldsTaken_ = true;
    emit fieldsTaken();
    return values_.fields;
}

std::string CommandJob::userId() const {
    // The window's member as it stands: the field once the command took it.
    return fieldsTaken_ ? values_.fields.user : values_.userId;
}

void CommandJob::setProgressBytes(const ByteProgress& progress) {
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
    emit progressBytes(progress);
}

void CommandJob::runOnWindowThread(const std::function<void()>& work) {
    runOnThreadOf(window_.data(), stop_.get_token(), work, false);
}

PromptAnswer CommandJob::ask(const Prompt& prompt) {
    // Owned by the call on the window's thread too: the command may stop
    // waiting for the answer.
    const bool question = prompt.buttons == PromptButtons::YesNo;
    const PromptAnswer unanswered = question ? PromptAnswer::No : PromptAnswer::Ok;
    auto answer = std::make_shared<PromptAnswer>(unanswered);
    const bool answered = runOnThreadOf(
        window_.data(), (question ? stop_ : leave_).get_token(),
        [answer, prompt, &prompter = prompter_] { *answer = prompter.ask(prompt); }, true);
    // Once a stop is asked for, the command hears No to every question, also
    // to one the user answered just before.
    if (!answered || (question && stop_.stop_requested())) {
        qCDebug(lcJob) << "a question went unanswered after a stop";
        return unanswered;
    }
    qCDebug(lcJob) << "a question answered"
                   << (*answer == PromptAnswer::Yes  ? "Yes"
                       : *answer == PromptAnswer::No ? "No"
                                                     : "OK");
    return *answer;
}

}  // namespace tyq::ui
