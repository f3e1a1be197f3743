// Where the service keeps its files: the home (cfg/mq.conf, lib/, log/) and the pid file.
// The built-in paths unless the command line names others; set once at start, before any
// thread runs, and only read afterwards.
#ifndef TOLVANE_CORE_HOME_H
#define TOLVANE_CORE_HOME_H

#include <string>

void SetHome(const std::string& dir);
void SetPidFile(const std::string& file);

const std::string& Home();
const std::string& PidFile();
std::string MqConfPath();  // <home>/cfg/mq.conf
std::string LogDir();      // <home>/log

#endif
