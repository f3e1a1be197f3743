// libhello.so: a template plug-in. A call record "comtype=hello", "nfunc=hello", "name=..."
// runs the function below.
#include <tolvane/plugin.h>

// Answers "10000:hello, <name>": the "10000:" lets the request's next record run.
TOLVANE_PLUGIN(hello) {  // NOLINT(performance-unnecessary-value-param): MyProc passes a copy
    strOut = "10000:hello, " + dictParam["name"];
}
