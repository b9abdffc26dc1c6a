#pragma once

namespace tyq {

// The few values the program keeps for as long as it runs, in one place that
// the main window owns and hands to the commands. Nothing else is kept
// between commands.
struct ProcessCounters {
    // Clicks on the AOL check box that wrote the setting: only the first,
    // if it ticks the box, asks the AOL question.
    int aolToggles = 0;
    // 1 at start; 0 right after a download created the local folder, so the
    // run that follows does not offer to delete QLM files; one more after
    // each transfer.
    int downloads = 1;
};

}  // namespace tyq
