// What answers the benchmark's requests: the daemons under test or the ceiling. The phases
// measure either through this one face.
#ifndef TOLVANE_BENCH_RESPONDER_H
#define TOLVANE_BENCH_RESPONDER_H

#include <string>
#include <vector>

class Responder {
public:
    virtual ~Responder() = default;
    // Starts answering; false with `error` set when it could not.
    virtual bool Start(std::string* error) = 0;
    // CPU time (user + system) spent so far, in seconds.
    virtual double CpuSeconds() const = 0;
    // Peak resident memory so far in kB (the largest of several processes); -1: not its own.
    virtual long PeakRssKb() const = 0;
    // Requests whose guid starts with `prefix` that each process handled; empty when the
    // responder cannot tell them apart.
    virtual std::vector<long> Handled(const std::string& prefix) const {
        (void)prefix;
        return {};
    }
    // Stops answering; safe to call twice.
    virtual void Stop() = 0;
};

#endif
