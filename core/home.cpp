// The service's paths, defaulting to the ones built in.
#include "core/home.h"

#include "paths.h"

namespace {

std::string home = TOLVANE_HOME;
std::string pidFile = TOLVANE_PID_FILE;

}  // namespace

void SetHome(const std::string& dir) {
    home = dir;
}
void SetPidFile(const std::string& file) {
    pidFile = file;
}
const std::string& Home() {
    return home;
}
const std::string& PidFile() {
    return pidFile;
}
std::string MqConfPath() {
    return home + "/cfg/mq.conf";
}
std::string LogDir() {
    return home + "/log";
}
