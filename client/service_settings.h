// The daemon's way to read its settings: the reader's notes about numbers it could not take
// as written go to the service log, each once per run, however often the file is read.
#ifndef TOLVANE_CLIENT_SERVICE_SETTINGS_H
#define TOLVANE_CLIENT_SERVICE_SETTINGS_H

#include "client/settings.h"

// ReadSettings of the home's cfg/mq.conf, tls_verify as the first call read it; logs every
// note, and a pwd_file readable by group or others, not logged before. Any thread.
Settings ReadServiceSettings();

#endif
