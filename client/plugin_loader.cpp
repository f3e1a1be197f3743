// Plug-in libraries: where they lie and how one is loaded for a call.
#include "client/plugin_loader.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <sys/stat.h>

#include <map>
#include <mutex>

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

namespace {

struct CachedPlugin {
    struct stat file;
    std::shared_ptr<SoHandle> handle;
};

std::mutex cacheLock;
std::map<std::string, CachedPlugin> cache;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

std::shared_ptr<SoHandle> LoadPlugin(const char* path, bool useCache) {
    struct stat now;
    if (!useCache || !path || stat(path, &now) != 0) return std::make_shared<SoHandle>(path);
    std::lock_guard<std::mutex> hold(cacheLock);
    auto it = cache.find(path);
    if (it != cache.end() && SameFile(it->second.file, now)) return it->second.handle;
    // The loader knows a library by its name: while a running call still holds the old one,
    // dlopen would hand it back, so the new file is cached only once the old one is gone.
    bool oldInUse = it != cache.end() && it->second.handle.use_count() > 1;
    if (it != cache.end()) cache.erase(it);
    auto handle = std::make_shared<SoHandle>(path);
    if (handle->IsOpen() && !oldInUse) cache[path] = CachedPlugin{now, handle};
    return handle;
}
