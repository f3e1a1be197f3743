#include "client/deadline.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "core/log.h"
#include "core/stats.h"

namespace {

// RabbitMQ refuses a larger expiration (about 49 days) by closing the channel, which would
// cost the reply itself.
const int64_t kMostExpirationMs = 4294967295LL;

bool Honoured(const Settings& s, const Request& r) {
    return s.honour_deadlines && r.deadline_ms > 0;
}

}  // namespace

int64_t EpochMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool ExpiredOnTake(const Settings& s, const Request& r, const std::string& logGuid) {
    if (!Honoured(s, r)) return false;
    const int64_t ago = EpochMs() - r.deadline_ms;
    if (ago < 0) return false;
    ++Stats().expired;
    const std::string line =
        logGuid + " expired, not run: its deadline passed " + std::to_string(ago) + " ms ago";
    LOG(line.c_str());
    return true;
}

RecordWatch DeadlineWatch(const Settings& s, const Request& r, const std::string& logGuid) {
    RecordWatch watch;
    if (!Honoured(s, r)) return watch;
    const int64_t deadline = r.deadline_ms;
    const int count = r.head.count;
    auto next = std::make_shared<int>(1);  // asked before the second record first
    watch.go_on = [deadline, count, logGuid, next] {
        const int record = ++*next;
        const int64_t ago = EpochMs() - deadline;
        if (ago < 0) return true;
        const std::string line = logGuid + " stopped before record " + std::to_string(record) +
                                 " of " + std::to_string(count) + ": its deadline passed " +
                                 std::to_string(ago) + " ms ago";
        LOG(line.c_str());
        return false;
    };
    return watch;
}

std::string ReplyExpiration(const Settings& s, const Request& r) {
    if (!Honoured(s, r)) return "";
    const int64_t left = r.deadline_ms - EpochMs();
    return std::to_string(std::min(std::max<int64_t>(left, 1), kMostExpirationMs));
}
