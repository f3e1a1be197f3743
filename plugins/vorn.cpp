// libvorn.so stand-in: the library that requests naming "server" are sent to.
#include "plugin.h"

// Answers "10000:cloudcall" with its second argument and the "nfunc" the request named.
TOLVANE_PLUGIN(cloudcall) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    strOut = "10000:cloudcall arg=[" + encodeParam + "] nfunc=[" + dictParam["nfunc"] + "]";
}
