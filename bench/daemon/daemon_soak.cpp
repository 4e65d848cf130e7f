// Soak of vorasel-accessoryd: a million short T=1 APDUs (or --apdus N) through the daemon's
// socket, as CCID XfrBlocks on a bulk session, with the daemon's resident memory and thread
// count sampled as they go. Every answer is checked.
//
// Prints the samples, then the round trip's median and p99 as this client sees it and what
// the daemon spent per APDU (CPU time and voluntary context switches over all its threads).
// Exit status 1 when an answer was wrong, the daemon's memory grew more than 1 MiB after the
// warm-up, or its thread count moved.
//
//   daemon_soak [--apdus N] [--daemon PATH]
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "WireClient.h"

namespace {

using Clock = std::chrono::steady_clock;
using hv::test::WireClient;

struct DaemonCost {
    long long ticks = 0;        // user + system, clock ticks
    long long voluntary = 0;    // voluntary context switches, all threads
    long long involuntary = 0;  // and the others
};

DaemonCost costOf(pid_t pid) {
    DaemonCost c;
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream stat(base + "/stat");
    std::string s((std::istreambuf_iterator<char>(stat)), {});
    const size_t close = s.rfind(')');
    if (close != std::string::npos) {
        std::istringstream rest(s.substr(close + 2));
        std::string field;
        // Fields 3.. follow the name; utime and stime are the 14th and 15th.
        for (int i = 3; i <= 15 && rest >> field; ++i)
            if (i == 14 || i == 15) c.ticks += std::stoll(field);
    }
    if (DIR *tasks = ::opendir((base + "/task").c_str())) {
        while (dirent *e = ::readdir(tasks)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream status(base + "/task/" + e->d_name + "/status");
            std::string line;
            while (std::getline(status, line)) {
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                    c.voluntary += std::atoll(line.c_str() + 24);
                else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                    c.involuntary += std::atoll(line.c_str() + 27);
            }
        }
        ::closedir(tasks);
    }
    return c;
}

uint8_t lrc(const std::vector<uint8_t> &bytes) {
    uint8_t r = 0;
    for (uint8_t b : bytes)
        r ^= b;
    return r;
}

class BulkClient {
public:
    explicit BulkClient(const std::string &path) : c_(path) {}

    bool open() {
        auto f = c_.send("SESSION 1 com.vorasel.ccidbulk\n") ? c_.readFrame() : std::nullopt;
        return f && f->type == 'O';
    }
    // One CCID message out, the whole answer back (it may come in several frames).
    bool exchange(uint8_t type, const std::vector<uint8_t> &data, std::vector<uint8_t> &answer) {
        std::vector<uint8_t> m{type,
                               uint8_t(data.size()),
                               uint8_t(data.size() >> 8),
                               uint8_t(data.size() >> 16),
                               uint8_t(data.size() >> 24),
                               0,
                               seq_++,
                               0,
                               0,
                               0};
        m.insert(m.end(), data.begin(), data.end());
        if (!c_.sendFrame('D', m)) return false;
        answer.clear();
        for (;;) {
            auto f = c_.readFrame(std::chrono::seconds(5));
            if (!f) return false;
            if (f->type != 'D' && f->type != 'P') continue;
            answer.insert(answer.end(), f->payload.begin(), f->payload.end());
            if (answer.size() >= 10) {
                const size_t length = answer[1] | (answer[2] << 8) | (size_t(answer[3]) << 16);
                if (answer.size() >= 10 + length) return true;
            }
        }
    }

private:
    WireClient c_;
    uint8_t seq_ = 0;
};

long median(std::vector<long> &v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    long apdus = 1000000;
    std::string daemonPath =
        hv::test::DaemonProcess::program() ? hv::test::DaemonProcess::program() : "";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--apdus" && i + 1 < argc) {
            apdus = std::atol(argv[++i]);
        } else if (a == "--daemon" && i + 1 < argc) {
            daemonPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: daemon_soak [--apdus N] [--daemon PATH]\n");
            return 2;
        }
    }
    if (apdus < 1000 || daemonPath.empty()) {
        std::fprintf(stderr, "daemon_soak: at least 1000 APDUs, and a daemon to run\n");
        return 2;
    }
    hv::test::DaemonProcess daemon({"--card", "t1"}, daemonPath.c_str());
    if (!daemon.start()) {
        std::fprintf(stderr, "daemon_soak: the daemon did not start\n");
        return 1;
    }
    const pid_t pid = daemon.process().pid();
    BulkClient bulk(daemon.socketPath());
    std::vector<uint8_t> answer;
    if (!bulk.open() || !bulk.exchange(0x62, {}, answer) || answer[0] != 0x80 || answer[7] != 0) {
        std::fprintf(stderr, "daemon_soak: the card did not power up\n");
        return 1;
    }

    const std::vector<uint8_t> apdu{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    std::vector<uint8_t> blocks[2];
    for (int ns = 0; ns < 2; ++ns) {
        blocks[ns] = {0x00, uint8_t(ns ? 0x40 : 0x00), uint8_t(apdu.size())};
        blocks[ns].insert(blocks[ns].end(), apdu.begin(), apdu.end());
        blocks[ns].push_back(lrc(blocks[ns]));
    }
    const long warmUp = std::min(20000L, apdus / 10);
    const long sampleEvery = std::max(1L, apdus / 20);
    std::vector<long> micros;
    micros.reserve(static_cast<size_t>(apdus));
    long wrong = 0, rssAfterWarmUp = 0, threadsAfterWarmUp = 0, rssMax = 0, threadsMin = 1 << 30,
         threadsMax = 0;
    DaemonCost before;
    std::printf("%10s %10s %8s\n", "APDUs", "RSS KiB", "threads");
    const auto start = Clock::now();
    for (long i = 0; i < apdus; ++i) {
        const auto t0 = Clock::now();
        if (!bulk.exchange(0x6F, blocks[i % 2], answer)) {
            std::fprintf(stderr, "daemon_soak: exchange %ld failed\n", i);
            return 1;
        }
        micros.push_back(static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count() /
            1000));
        // An I-block with 90 00 in it, in a DataBlock that reports no error.
        if (answer.size() != 16 || answer[0] != 0x80 || answer[7] != 0 || answer[13] != 0x90 ||
            answer[14] != 0x00)
            ++wrong;
        if (i + 1 == warmUp) {
            rssAfterWarmUp = daemon.process().rssKiB();
            threadsAfterWarmUp = daemon.process().threads();
            before = costOf(pid);
            micros.clear();
        }
        if ((i + 1) % sampleEvery == 0 || i + 1 == warmUp) {
            const long rss = daemon.process().rssKiB(), threads = daemon.process().threads();
            if (i + 1 > warmUp) {
                rssMax = std::max(rssMax, rss);
                threadsMin = std::min(threadsMin, threads);
                threadsMax = std::max(threadsMax, threads);
            }
            std::printf("%10ld %10ld %8ld\n", i + 1, rss, threads);
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const DaemonCost after = costOf(pid);
    const long measured = apdus - warmUp;
    const long p50 = median(micros);
    const long p99 = micros.empty() ? 0 : micros[micros.size() * 99 / 100];
    const double tick = 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::printf("%ld APDUs in %.1f s; round trip median %ld us, p99 %ld us\n", apdus, seconds, p50,
                p99);
    std::printf("daemon per APDU: %.2f us CPU, %.2f voluntary and %.2f involuntary switches\n",
                static_cast<double>(after.ticks - before.ticks) * tick / double(measured),
                double(after.voluntary - before.voluntary) / double(measured),
                double(after.involuntary - before.involuntary) / double(measured));
    std::printf(
        "daemon RSS after warm-up %ld KiB, highest after %ld KiB (%+ld KiB); threads "
        "%ld, then %ld..%ld\n",
        rssAfterWarmUp, rssMax, rssMax - rssAfterWarmUp, threadsAfterWarmUp, threadsMin,
        threadsMax);
    bool ok = true;
    if (wrong) {
        std::printf("FAIL: %ld wrong answers\n", wrong);
        ok = false;
    }
    if (rssMax - rssAfterWarmUp > 1024) {
        std::printf("FAIL: the daemon's memory grew more than 1 MiB\n");
        ok = false;
    }
    if (threadsMin != threadsAfterWarmUp || threadsMax != threadsAfterWarmUp) {
        std::printf("FAIL: the daemon's thread count moved\n");
        ok = false;
    }
    return ok ? 0 : 1;
}
