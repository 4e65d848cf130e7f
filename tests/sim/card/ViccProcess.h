// Debian's vicc card emulator as a child process, for tests that put it behind the bridge.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

extern char **environ;

namespace hv::sim::test {

inline constexpr const char *kVicc = "/usr/bin/vicc";
inline constexpr const char *kPython = "/usr/bin/python3";
inline constexpr const char *kModules = "/usr/lib/python3/site-packages/virtualsmartcard";
inline constexpr const char *kCryptodome = "/usr/lib/python3/dist-packages/Cryptodome";

// vicc as a child process, killed and reaped whatever way the test ends. It also exits by
// itself when the bridge's socket closes.
class Vicc {
public:
    explicit Vicc(uint16_t port) {
        // vicc imports Crypto, which Debian ships as Cryptodome.
        char dir[] = "/tmp/vicc-pathXXXXXX";
        if (!mkdtemp(dir)) return;
        dir_ = dir;
        link_ = dir_ + "/Crypto";
        if (symlink(kCryptodome, link_.c_str()) != 0) return;

        std::vector<std::string> env{"PYTHONPATH=" + std::string(kModules) + ":" + dir_};
        for (char **e = environ; *e; ++e)
            if (std::string(*e).rfind("PYTHONPATH=", 0) != 0) env.emplace_back(*e);
        std::vector<char *> envp;
        for (auto &s : env)
            envp.push_back(s.data());
        envp.push_back(nullptr);

        std::string portText = std::to_string(port);
        std::vector<std::string> args{kPython, kVicc,       "-t", "iso7816",
                                      "-H",    "127.0.0.1", "-P", portText};
        std::vector<char *> argv;
        for (auto &s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, kPython, &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Vicc() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (!link_.empty()) unlink(link_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    bool started() const { return pid_ > 0; }
    bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
    std::string dir_, link_;
};

inline bool viccInstalled() {
    return access(kVicc, R_OK) == 0 && access(kPython, X_OK) == 0 && access(kModules, R_OK) == 0 &&
           access(kCryptodome, R_OK) == 0;
}

}  // namespace hv::sim::test
