#pragma once

#include <locale.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "unzip/lib/ExtractPlan.h"
#include "unzip/lib/StagedCommit.h"

namespace tyq::unzip::lib {

// The first failure among the readers, by entry order, so the result does
// not depend on which reader got there first.
class FirstFailure {
  public:
    void record(std::size_t index, std::int32_t code);
    // The program asked to stop: that is the result, whatever else failed
    // while the readers wound down.
    void cancel();
    std::optional<std::int32_t> code() const { return code_; }
    std::atomic<bool> stop{false};

  private:
    std::mutex mutex_;
    std::size_t index_ = 0;
    std::optional<std::int32_t> code_;
    bool cancelled_ = false;
};

// One reader's pass: goes through every header, checks it against the plan
// and stages the files the plan gives to `reader`, verified. Failures go to
// `failure`. Names are converted under `names` when it is set.
void readShare(const ExtractRequest& request, Source source, const Plan& plan, unsigned reader,
               StagedCommit& commit, FirstFailure& failure, locale_t names);

}  // namespace tyq::unzip::lib
