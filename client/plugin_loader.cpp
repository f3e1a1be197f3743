// Plug-in libraries: where they lie and how one is loaded for a call.
#include "client/plugin_loader.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>

#include "client/home.h"

bool PluginPath(const std::string& soName, char (&szSoName)[256]) {
    if (soName.find('/') != std::string::npos) return false;
    snprintf(szSoName, sizeof szSoName, "%s/lib/lib%s.so", Home().c_str(), soName.c_str());
    return true;
}

SoHandle::SoHandle(const char* path) : _handle(path ? dlopen(path, RTLD_LAZY) : nullptr) {}

SoHandle::~SoHandle() {
    if (_handle) dlclose(_handle);
}

MyProc SoHandle::Find(const char* name) const {
    dlerror();
    void* sym = dlsym(_handle, name);
    if (dlerror() != nullptr || sym == nullptr) return nullptr;
    struct link_map* own = nullptr;
    struct link_map* owner = nullptr;
    Dl_info info;
    if (dlinfo(_handle, RTLD_DI_LINKMAP, &own) != 0 ||
        dladdr1(sym, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 ||
        owner != own) {
        return nullptr;
    }
    return reinterpret_cast<MyProc>(sym);
}
