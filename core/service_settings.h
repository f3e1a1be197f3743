// The daemon's way to read its settings: the reader's notes about numbers it could not take
// as written go to the service log, each once per run, however often the file is read.
#ifndef TOLVANE_CORE_SERVICE_SETTINGS_H
#define TOLVANE_CORE_SERVICE_SETTINGS_H

#include "core/settings.h"

// ReadSettings of the home's cfg/mq.conf, tls_verify as the first call read it; logs every
// note, and a pwd_file readable by group or others, not logged before. Any thread.
Settings ReadServiceSettings();

// settings_reload=on_change (true): ReadServiceSettings gives the settings it read last while
// the file's device, inode, size and change time stay the same, and reads the file again at
// least once a second. Off at start (each call reads the file).
void SetSettingsReload(bool readOnChange);

#endif
