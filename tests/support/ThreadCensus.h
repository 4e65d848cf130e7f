// This process's threads by name: how many there are, and how often they went to sleep
// (voluntary context switches, summed), which for a thread that should stay asleep is how
// often it was woken.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace hv::test {

inline int threadsNamed(const std::string &name) {
    int n = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string threadName;
        if (std::getline(comm, threadName) && threadName == name) ++n;
    }
    return n;
}

inline long switchesOfThreadsNamed(const std::string &name) {
    long total = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string threadName;
        if (!std::getline(comm, threadName) || threadName != name) continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

}  // namespace hv::test
