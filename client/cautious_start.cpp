// The cautious start's marker and phase (see cautious_start.h).
#include "client/cautious_start.h"

#include <fcntl.h>
#include <unistd.h>

#include "core/home.h"
#include "client/job.h"
#include "core/log.h"

std::string CautiousMarker() {
    return PidFile() + ".running";
}

void RemoveCautiousMarker() {
    unlink(CautiousMarker().c_str());
}

void CautiousStart::Begin(int wide, int count) {
    _wide = wide;
    _count = count;
    const std::string marker = CautiousMarker();
    const bool unclean = access(marker.c_str(), F_OK) == 0;
    const int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        close(fd);
    } else {
        LOG(("cautious start: cannot write the marker " + marker +
             ", the next start after a crash is cautious only on deliveries sent again")
                .c_str());
    }
    if (unclean) Enter("the last run did not end in an orderly stop", _count);
}

void CautiousStart::Connected() {
    if (_phase == Phase::kWide && !Off()) _phase = Phase::kFirst;
}

void CautiousStart::Delivered(bool redelivered) {
    _lastAgain = redelivered;
    if (redelivered && _phase != Phase::kCautious) {
        // The requests another run held: taken one at a time while they come, since one of
        // them may be what ended that run. Only this run's own crash waits for `count`.
        Enter("the broker delivers requests again", 0);
    } else if (_phase == Phase::kFirst) {
        _phase = Phase::kWide;
    }
}

int CautiousStart::Window() {
    const uint64_t done = JobsFinished() - _base;
    if (_phase == Phase::kCautious && !_lastAgain && done >= static_cast<uint64_t>(_needed)) {
        _phase = Phase::kWide;
        LOG(("cautious start over: " + std::to_string(done) + " requests completed, up to " +
             std::to_string(_wide) + " taken at a time")
                .c_str());
    }
    return _phase == Phase::kWide ? _wide : 1;
}

void CautiousStart::Enter(const char* why, int needed) {
    if (Off()) return;
    _phase = Phase::kCautious;
    _needed = needed;
    _base = JobsFinished();
    const std::string until =
        needed > 0 ? std::to_string(needed) + " have completed and none is delivered again"
                   : "none is delivered again";
    LOG(("cautious start: " + std::string(why) + "; one request at a time until " + until).c_str());
}
