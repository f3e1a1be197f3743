// libtvversion<N>.so: one test plug-in built twice, each build answering its own TV_VERSION.
#include "plugin.h"

TOLVANE_PLUGIN(version) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    strOut = TV_VERSION;
}
