#include "commands/CommandOutcome.h"

namespace tyq::commands {

CommandOutcome EndWords::outcome(
    std::variant<std::monostate, download::TransferOutcome, unzip::ExtractionOutcome> result)
    const {
    CommandOutcome outcome{std::move(result), text_, detail_};
    if (const auto* transfer = std::get_if<download::TransferOutcome>(&outcome.result)) {
        outcome.items = static_cast<int>(transfer->arrived.size());
        for (const auto& file : transfer->arrived) {
            outcome.bytes += file.size;
        }
    } else if (const auto* extraction = std::get_if<unzip::ExtractionOutcome>(&outcome.result)) {
        outcome.items = static_cast<int>(extraction->extracted.size());
        outcome.bytes = extraction->bytes;
    }
    return outcome;
}

}  // namespace tyq::commands
