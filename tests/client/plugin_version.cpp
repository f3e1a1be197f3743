// libtvversion<N>.so: one test plug-in built twice, each build answering its own TV_VERSION.
#include "plugin.h"

TOLVANE_PLUGIN(version) {
    strOut = TV_VERSION;
}
