// Where a plug-in call runs. Under thread the call runs on the pool's thread, and a watcher
// (only with call_timeout) logs a call that overruns it: a thread cannot be stopped. Under
// process it goes to the calling thread's worker process (client/worker_pool).
#include "core/plugin_call.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "core/log.h"
#include "core/plugin_loader.h"
#include "core/stats.h"
#include "core/worker_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

// The calls running on pool threads under isolation=thread with a call_timeout, looked at
// once a second: each call costs one insert and one erase under the lock.
class CallWatch {
public:
    struct Running {
        Clock::time_point start;
        std::string soName, func;
        bool reported = false;
    };
    using Entry = std::list<Running>::iterator;

    void Start(int timeoutS) {
        _timeout = std::chrono::seconds(timeoutS);
        _thread = std::thread(&CallWatch::Watch, this);
    }

    void Stop() {
        if (!_thread.joinable()) return;
        {
            std::lock_guard<std::mutex> hold(_lock);
            _stop = true;
        }
        _wake.notify_all();
        _thread.join();
    }

    bool On() const { return _timeout.count() > 0; }

    Entry Enter(const PluginCall& call) {
        std::lock_guard<std::mutex> hold(_lock);
        return _running.insert(_running.end(), {Clock::now(), call.soName, call.func});
    }

    void Leave(Entry e) {
        std::lock_guard<std::mutex> hold(_lock);
        _running.erase(e);
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(_lock);
        while (!_wake.wait_for(lock, std::chrono::seconds(1), [this] { return _stop; })) {
            const Clock::time_point limit = Clock::now() - _timeout;
            for (Running& r : _running) {
                if (r.reported || r.start > limit) continue;
                r.reported = true;
                ++Stats().call_timeouts;
                const std::string line =
                    "the call to " + r.func + " of lib" + r.soName +
                    ".so runs longer than call_timeout=" + std::to_string(_timeout.count()) +
                    " s; a thread cannot be stopped, it goes on";
                LOG(VisibleControls(line.c_str()).c_str());
            }
        }
    }

    std::chrono::seconds _timeout{0};
    std::thread _thread;
    std::mutex _lock;
    std::condition_variable _wake;
    bool _stop = false;
    std::list<Running> _running;
};

CallWatch watch;
bool inWorkers = false;  // set at start, before any call

// One call on this thread, watched when a call_timeout is set.
CallEnd InvokeWatched(PluginCall& call) {
    if (!watch.On()) return InvokePlugin(call);
    const CallWatch::Entry e = watch.Enter(call);
    const CallEnd end = InvokePlugin(call);
    watch.Leave(e);
    return end;
}

}  // namespace

CallEnd InvokePlugin(PluginCall& call) {
    char szSoName[256] = "";
    const bool pathOk = PluginPath(call.soName, szSoName);
    std::shared_ptr<SoHandle> handle = LoadPlugin(pathOk ? szSoName : nullptr, call.cache);
    if (!handle->IsOpen()) return CallEnd::kNoLibrary;
    MyProc pFun = handle->Find(call.func.c_str());
    if (pFun == nullptr) return CallEnd::kNoFunction;
    // The one place where exceptions are caught: a plug-in must not take the worker down.
    try {
        pFun(call.dictParam, call.encodeParam, call.strOut);
    } catch (...) {
        return CallEnd::kThrew;
    }
    return CallEnd::kReturned;
}

CallEnd RunPluginCall(PluginCall& call) {
    return inWorkers ? CallInWorker(call) : InvokeWatched(call);
}

void StartIsolation(const Settings& s) {
    if (s.isolation_process) {
        WorkerLimits limits;
        limits.call_timeout = s.call_timeout;
        limits.max_calls = s.max_calls_per_worker;
        limits.memory_mb = s.worker_memory_mb;
        SetWorkerLimits(limits);
        inWorkers = true;
    } else if (s.call_timeout > 0) {
        watch.Start(s.call_timeout);
    }
}

void StopIsolation() {
    watch.Stop();
}
