// The reader module as pcscd sees it: loaded with dlopen, reached only through the IFDH* names
// it exports, serving the case of a vorasel-accessoryd started for each test. Presence is
// waited for as pcscd's event thread does: a check, then the module's own waiting function.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PcscHeaders.h"
#include "Wait.h"

extern char **environ;

namespace hv::ifdhandler::test {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

struct Module {
    RESPONSECODE (*createChannelByName)(DWORD, LPSTR);
    RESPONSECODE (*createChannel)(DWORD, DWORD);
    RESPONSECODE (*closeChannel)(DWORD);
    RESPONSECODE (*getCapabilities)(DWORD, DWORD, PDWORD, PUCHAR);
    RESPONSECODE (*setCapabilities)(DWORD, DWORD, DWORD, PUCHAR);
    RESPONSECODE (*setProtocolParameters)(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR);
    RESPONSECODE (*powerICC)(DWORD, DWORD, PUCHAR, PDWORD);
    RESPONSECODE(*transmitToICC)
    (DWORD, SCARD_IO_HEADER, PUCHAR, DWORD, PUCHAR, PDWORD, PSCARD_IO_HEADER);
    RESPONSECODE (*control)(DWORD, DWORD, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD);
    RESPONSECODE (*iccPresence)(DWORD);
    void *handle = nullptr;

    // Loaded once per process, as pcscd loads it; the module is never unmapped anyway.
    static Module &shared() {
        static Module *m = [] {
            auto *module = new Module;
            module->handle = dlopen(VORASEL_IFDHANDLER_MODULE, RTLD_NOW | RTLD_LOCAL);
            if (!module->handle) return module;
            auto bind = [&](auto &fn, const char *name) {
                fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
                    dlsym(module->handle, name));
            };
            bind(module->createChannelByName, "IFDHCreateChannelByName");
            bind(module->createChannel, "IFDHCreateChannel");
            bind(module->closeChannel, "IFDHCloseChannel");
            bind(module->getCapabilities, "IFDHGetCapabilities");
            bind(module->setCapabilities, "IFDHSetCapabilities");
            bind(module->setProtocolParameters, "IFDHSetProtocolParameters");
            bind(module->powerICC, "IFDHPowerICC");
            bind(module->transmitToICC, "IFDHTransmitToICC");
            bind(module->control, "IFDHControl");
            bind(module->iccPresence, "IFDHICCPresence");
            return module;
        }();
        return *m;
    }
    bool complete() const {
        return handle && createChannelByName && createChannel && closeChannel && getCapabilities &&
               setCapabilities && setProtocolParameters && powerICC && transmitToICC && control &&
               iccPresence;
    }
};

// vorasel-accessoryd as a child process, stopped by its pid.
class Daemon {
public:
    explicit Daemon(std::string socketPath) : socket_(std::move(socketPath)) {}
    ~Daemon() { stop(); }

    bool start(const std::vector<std::string> &extra = {"--card", "dual"}) {
        std::vector<std::string> args = {VORASEL_ACCESSORYD_PATH, "--socket", socket_};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        return hv::test::waitUntil([&] { return command("status").rfind("OK", 0) == 0; }, 10s);
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        unlink(socket_.c_str());
    }
    // One "COMMAND words" exchange: the daemon's answer line, or "no daemon".
    std::string command(const std::string &words) const {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
        std::string answer = "no daemon";
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            const std::string line = "COMMAND " + words + "\n";
            if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
                answer.clear();
                char c;
                while (read(fd, &c, 1) == 1 && c != '\n')
                    answer += c;
            }
        }
        if (fd >= 0) close(fd);
        return answer;
    }
    const std::string &socketPath() const { return socket_; }

private:
    std::string socket_;
    pid_t pid_ = -1;
};

class ModuleTest : public ::testing::Test {
protected:
    static constexpr DWORD kLun = 0x00010000;  // pcscd's first reader, slot 0

    void SetUp() override {
        ASSERT_TRUE(module().complete()) << dlerror();
        static int count = 0;
        daemon = std::make_unique<Daemon>("/tmp/hv-ifdh-module-" + std::to_string(getpid()) + "-" +
                                          std::to_string(++count) + ".sock");
    }
    void TearDown() override {
        if (open_) {
            EXPECT_EQ(module().closeChannel(kLun), IFD_SUCCESS);
        }
        daemon.reset();
    }

    static Module &module() { return Module::shared(); }
    std::string deviceName() const { return "vorasel-accessoryd:" + daemon->socketPath(); }

    RESPONSECODE openChannel(const std::string &name) {
        std::string copy = name;
        const RESPONSECODE rc = module().createChannelByName(kLun, copy.data());
        open_ = rc == IFD_SUCCESS;
        return rc;
    }
    // IFDHCreateChannel: no DEVICENAME, the daemon's socket from the environment.
    RESPONSECODE openChannelWithoutName() {
        const RESPONSECODE rc = module().createChannel(kLun, 0);
        open_ = rc == IFD_SUCCESS;
        return rc;
    }
    RESPONSECODE closeChannel() {
        open_ = false;
        return module().closeChannel(kLun);
    }

    bool present() { return module().iccPresence(kLun) == IFD_ICC_PRESENT; }

    // Waits for presence as pcscd's event thread does: check, then the waiting function. Its
    // power calls check presence too, so every turn checks twice: the answers must agree.
    bool waitForPresence(bool expected, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const bool first = present();
            EXPECT_EQ(present(), first) << "two checks in one turn disagree";
            if (first == expected) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms) return false;
            auto wait = waitFunction();
            if (!wait || wait(kLun, static_cast<int>(left.count())) != IFD_SUCCESS) return false;
        }
    }

    using WaitFunction = RESPONSECODE (*)(DWORD, int);
    using StopFunction = RESPONSECODE (*)(DWORD);
    WaitFunction waitFunction() {
        WaitFunction fn = nullptr;
        DWORD length = sizeof fn;
        if (module().getCapabilities(kLun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length,
                                     reinterpret_cast<PUCHAR>(&fn)) != IFD_SUCCESS)
            return nullptr;
        return fn;
    }
    StopFunction stopFunction() {
        StopFunction fn = nullptr;
        DWORD length = sizeof fn;
        if (module().getCapabilities(kLun, TAG_IFD_STOP_POLLING_THREAD, &length,
                                     reinterpret_cast<PUCHAR>(&fn)) != IFD_SUCCESS)
            return nullptr;
        return fn;
    }

    // The daemon with a card, the channel open, the card seen.
    void openWithCard(const std::vector<std::string> &daemonArgs = {"--card", "dual"}) {
        ASSERT_TRUE(daemon->start(daemonArgs));
        ASSERT_EQ(openChannel(deviceName()), IFD_SUCCESS);
        ASSERT_TRUE(waitForPresence(true));
    }

    // The reader answers, and has no card.
    bool readerReachedEmpty() {
        return hv::test::waitUntil(
            [&] {
                RESPONSECODE rc;
                powerUp(&rc);
                return rc == IFD_ICC_NOT_PRESENT;
            },
            10s);
    }

    Bytes powerUp(RESPONSECODE *rc = nullptr, DWORD action = IFD_POWER_UP) {
        UCHAR atr[MAX_ATR_SIZE];
        DWORD length = sizeof atr;
        const RESPONSECODE r = module().powerICC(kLun, action, atr, &length);
        if (rc) *rc = r;
        return Bytes(atr, atr + (r == IFD_SUCCESS ? length : 0));
    }

    struct Answer {
        RESPONSECODE rc;
        Bytes response;
    };
    // protocol: SendPci.Protocol, 0 for T=0, 1 for T=1.
    Answer transmit(const Bytes &apdu, DWORD protocol, DWORD capacity = MAX_BUFFER_SIZE_EXTENDED) {
        Bytes rx(capacity);
        DWORD length = capacity;
        SCARD_IO_HEADER send{protocol, 8};
        SCARD_IO_HEADER recv{};
        Bytes tx = apdu;
        const RESPONSECODE rc = module().transmitToICC(
            kLun, send, tx.data(), static_cast<DWORD>(tx.size()), rx.data(), &length, &recv);
        rx.resize(length);
        return {rc, rx};
    }

    std::unique_ptr<Daemon> daemon;

private:
    bool open_ = false;
};

// ECHO (INS EE) of n counting bytes, with Le: the card answers the data and 90 00.
inline Bytes echoApdu(size_t n) {
    Bytes apdu = {0x00, 0xEE, 0x00, 0x00};
    if (n <= 255) {
        apdu.push_back(static_cast<uint8_t>(n));
    } else {
        apdu.insert(apdu.end(), {0x00, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }
    for (size_t i = 0; i < n; ++i)
        apdu.push_back(static_cast<uint8_t>(i * 3 + 1));
    if (n <= 255)
        apdu.push_back(0x00);
    else
        apdu.insert(apdu.end(), {0x00, 0x00});
    return apdu;
}

inline Bytes echoAnswer(size_t n) {
    Bytes answer;
    for (size_t i = 0; i < n; ++i)
        answer.push_back(static_cast<uint8_t>(i * 3 + 1));
    answer.insert(answer.end(), {0x90, 0x00});
    return answer;
}

}  // namespace hv::ifdhandler::test
