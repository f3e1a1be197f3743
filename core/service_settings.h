// The daemon's way to read its settings: the reader's notes about numbers it could not take
// as written go to the service log, each once per run, however often the file is read.
#ifndef TOLVANE_CORE_SERVICE_SETTINGS_H
#define TOLVANE_CORE_SERVICE_SETTINGS_H

#include <memory>

#include "core/settings.h"

// ReadSettings of the home's cfg/mq.conf, tls_verify as the first call read it; logs every
// note, and a pwd_file readable by group or others, not logged before. Any thread.
Settings ReadServiceSettings();
// The same, shared: under on_change the very object read last, so that a message holds its
// settings without a copy of its own.
std::shared_ptr<const Settings> ReadServiceSettingsShared();

// settings_reload=on_change (true): ReadServiceSettings gives the settings it read last while
// the file's device, inode, size and change time stay the same, and reads the file again at
// least once a second. Off at start (each call reads the file).
void SetSettingsReload(bool readOnChange);

#endif
