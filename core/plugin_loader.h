// Finding and loading plug-in libraries: the path rule "<home>/lib/lib<name>.so" and the
// loaded library of one call.
#ifndef TOLVANE_CORE_PLUGIN_LOADER_H
#define TOLVANE_CORE_PLUGIN_LOADER_H

#include <memory>
#include <string>

#include "plugin.h"

// Library path of a short name, cut to 255 characters; false for a name that would leave
// the plug-in folder.
bool PluginPath(const std::string& soName, char (&szSoName)[256]);

// A plug-in library loaded with RTLD_LAZY for one call record, closed on every way out.
class SoHandle {
public:
    // A null path opens nothing (dlopen would hand back the program itself).
    explicit SoHandle(const char* path);
    ~SoHandle();
    SoHandle(const SoHandle&) = delete;
    SoHandle& operator=(const SoHandle&) = delete;

    bool IsOpen() const { return _handle != nullptr; }
    // The plug-in function `name`, or null. A lookup through a handle also searches the
    // library's dependencies, so a symbol found outside the library itself (the C library's
    // exit or abort, say) is refused: a request may only call what the plug-in exports.
    MyProc Find(const char* name) const;

private:
    void* _handle;
};

// The library at `path` for one call. Without `cache` a load by the path, unloaded when the
// call drops it (and the libraries cached so far are let go). With `cache` the library stays
// loaded between calls and is loaded afresh from the file when it changes (device, inode, size
// or modification time), even while running calls still hold the old one, which is unloaded
// once they end; a removed file gives a handle that is not open. Safe from any thread.
std::shared_ptr<SoHandle> LoadPlugin(const char* path, bool cache);

#endif
