// Plug-in libraries: where they lie and how one is loaded for a call.
#include "core/plugin_loader.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdint.h>
#include <sys/stat.h>

#include <map>
#include <mutex>

#include "core/home.h"

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
uint64_t loads = 0;  // cached loads so far, under cacheLock

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// `path` spelled for the n-th (n > 0) load: "./" and "/" steps between folder and file give
// the bits of n, so no two loads share a name and the folder ($ORIGIN) stays the same.
std::string Spelling(const std::string& path, uint64_t n) {
    const size_t slash = path.rfind('/') + 1;
    std::string steps;
    for (; n > 1; n >>= 1) steps.insert(0, n & 1 ? "./" : "/");
    return path.substr(0, slash) + "./" + steps + path.substr(slash);
}

}  // namespace

// The loader first matches a name against every name a loaded library was ever opened by
// (the path, or one that reached it through the same file), and only then opens the file,
// handing back a library already loaded from the same device and inode. So a reload by the
// path while a call still held the old library got the old one, cached under the new file's
// identity, and a removed file kept serving. A cached load therefore uses a name never used
// before: what it gets was mapped from the file that lay at the path after the stat below.
std::shared_ptr<SoHandle> LoadPlugin(const char* path, bool useCache) {
    if (!path) return std::make_shared<SoHandle>(nullptr);
    if (!useCache) {
        // Libraries cached under an earlier setting could answer to the path: let them go.
        std::unique_lock<std::mutex> hold(cacheLock);
        cache.clear();
        hold.unlock();
        return std::make_shared<SoHandle>(path);
    }
    std::lock_guard<std::mutex> hold(cacheLock);
    struct stat now;
    if (stat(path, &now) != 0) {
        cache.erase(path);
        return std::make_shared<SoHandle>(nullptr);
    }
    auto it = cache.find(path);
    if (it != cache.end() && SameFile(it->second.file, now)) return it->second.handle;
    if (it != cache.end()) cache.erase(it);
    // Stat first, then load: a file replaced in between is at worst newer than the identity
    // it is cached under, which costs one more load on the next call, never a stale library.
    auto handle = std::make_shared<SoHandle>(Spelling(path, ++loads).c_str());
    if (handle->IsOpen()) cache[path] = CachedPlugin{now, handle};
    return handle;
}
