// What logging costs the thread that logs, with the library's three loggers installed as
// HVLibrary installs them (system log, console, rolling file), and how many lines per second the
// file logger sustains.
//
// Standard error goes to /dev/null while a benchmark runs (the console logger's writes stay
// real system calls); the log files go to a temporary caches directory, removed at the end.
#include <fcntl.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "Logging/LogWriter.h"
#include "Platform/Application.h"
#include "Platform/Semaphore.h"
#include "vorasel/HVDDFileLogger.h"
#include "vorasel/HVLibrary.h"
#include "vorasel/HVLog.h"

namespace {

using Clock = std::chrono::steady_clock;

void reportMicros(benchmark::State &state, std::vector<double> &micros) {
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) return;
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Standard error to /dev/null for the lifetime of the object.
class QuietStderr {
public:
    QuietStderr() : saved_(::dup(STDERR_FILENO)) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
    ~QuietStderr() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

std::filesystem::path cachesDirectory() {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() /
                 ("hv-bench-logging-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        hv::platform::Application::shared().setCachesDirectory(d.string());
        return d;
    }();
    return dir;
}

class NothingLogger : public HVDDAbstractLogger {
public:
    void logMessage(const HVDDLogMessage &) override {}
    std::string loggerName() override { return "hv.bench.nothing"; }
};

// The library as an application sets it up: HVLibrary's loggers and the Info level.
void installLibraryLoggers() {
    cachesDirectory();
    HVLibrary::sharedClass().setLogLevel(3);
}

void waitForWriter() {
    hv::logging::LogWriter::shared().sync([] {});
}

// One Info statement at a time, the previous one already written: the writer is still lingering,
// as within a burst of library activity (an APDU exchange logs a dozen lines within a few
// hundred microseconds).
void BM_InfoStatementThreeLoggers(benchmark::State &state) {
    installLibraryLoggers();
    QuietStderr quiet;
    std::vector<double> micros;
    micros.reserve(1 << 16);
    int value = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        HVLogInfo("Wrote %d of %d bytes for protocol %d.", ++value, 271, 2);
        const double us = microsSince(start);
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
        waitForWriter();
    }
    HVDDLog::flushLog();
    reportMicros(state, micros);
}
BENCHMARK(BM_InfoStatementThreeLoggers)->UseManualTime()->Iterations(20000);

// A statement below the log level, with the library's loggers installed: what the many Verbose
// and Debug lines of an exchange cost when nobody listens.
void BM_DisabledStatement(benchmark::State &state) {
    installLibraryLoggers();
    int value = 0;
    for (auto _ : state) {
        HVLogVerbose("Wrote %d of %d bytes for protocol %d.", ++value, 271, 2);
        benchmark::DoNotOptimize(value);
    }
    HVDDLog::flushLog();
}
BENCHMARK(BM_DisabledStatement);

// One Info statement after a quiet spell longer than the writer's linger: the statement pays the
// system call that wakes the writer. Argument 1 measures the same with one do-nothing logger
// instead of the library's three: what a thread coming back from sleep pays anyway.
void BM_InfoStatementThreeLoggersIsolated(benchmark::State &state) {
    installLibraryLoggers();
    const bool baseline = state.range(0) == 1;
    std::vector<std::shared_ptr<HVDDLogger>> libraryLoggers;
    if (baseline) {
        libraryLoggers = HVDDLog::allLoggers();
        HVDDLog::removeAllLoggers();
        HVDDLog::addLogger(std::make_shared<NothingLogger>());
    }
    QuietStderr quiet;
    std::vector<double> micros;
    int value = 0;
    for (auto _ : state) {
        waitForWriter();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));  // pacing, not a wait
        const auto start = Clock::now();
        HVLogInfo("Wrote %d of %d bytes for protocol %d.", ++value, 271, 2);
        const double us = microsSince(start);
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    HVDDLog::flushLog();
    if (baseline) {
        HVDDLog::removeAllLoggers();
        for (const auto &logger : libraryLoggers)
            HVDDLog::addLogger(logger);
        HVDDLog::allLoggers();
    }
    reportMicros(state, micros);
}
BENCHMARK(BM_InfoStatementThreeLoggersIsolated)->UseManualTime()->Iterations(1000)->Arg(0)->Arg(1);

// Statements back to back: the writer is busy throughout, and a caller that outruns it waits for
// one of the thousand slots.
void BM_InfoStatementThreeLoggersBurst(benchmark::State &state) {
    installLibraryLoggers();
    QuietStderr quiet;
    std::vector<double> micros;
    micros.reserve(1 << 17);
    int value = 0;
    const auto begin = Clock::now();
    for (auto _ : state) {
        const auto start = Clock::now();
        HVLogInfo("Wrote %d of %d bytes for protocol %d.", ++value, 271, 2);
        const double us = microsSince(start);
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    waitForWriter();
    const double seconds = microsSince(begin) / 1e6;
    state.counters["statements_per_s"] = static_cast<double>(state.iterations()) / seconds;
    HVDDLog::flushLog();
    reportMicros(state, micros);
}
BENCHMARK(BM_InfoStatementThreeLoggersBurst)->UseManualTime()->Iterations(100000);

// The file logger alone, fed as fast as the caller can: lines per second until the last line is
// written. Argument 1: rolling at 1 MiB with one archived file kept, as HVLibrary configures it
// (each roll synchronises the file to disk); 0: one file without a size limit.
void BM_FileLoggerSustained(benchmark::State &state) {
    const auto dir = cachesDirectory() / "sustained";
    auto manager = std::make_shared<HVDDLogFileManagerDefault>(dir.string());
    manager->setMaximumNumberOfLogFiles(1);
    auto logger = std::make_shared<HVDDFileLogger>(manager);
    logger->setMaximumFileSize(state.range(0) ? 0x100000 : 0);
    // The file logger alone: the others step aside for this run.
    const auto others = HVDDLog::allLoggers();
    HVDDLog::removeAllLoggers();
    HVDDLog::addLogger(logger);
    const uint32_t savedLevel = hvLogLevel.exchange(0);
    constexpr int kLines = 200000;
    // CPU time of the writer thread itself: on a loaded machine the wall clock also counts the
    // time the writer waited for a processor.
    auto writerCpu = [] {
        // Queued, not sync(): an idle queue would run the block on this thread.
        double seconds = 0;
        hv::platform::Semaphore read;
        hv::logging::LogWriter::shared().submit([&] {
            timespec ts{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
            seconds = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
            read.signal();
        });
        read.wait();
        return seconds;
    };
    for (auto _ : state) {
        const double cpuBefore = writerCpu();
        const auto start = Clock::now();
        for (int i = 0; i < kLines; ++i)
            HVDDLog::log(false, HVLogLevelInfo, HVLogFlagInfo, 0, __FILE__, __func__, __LINE__,
                         nullptr, "HVInfo: %s [Line %d] Wrote %d of %d bytes for protocol %d.",
                         __func__, __LINE__, i, 271, 2);
        logger->flush();
        const double seconds = microsSince(start) / 1e6;
        state.SetIterationTime(seconds);
        state.counters["lines_per_s"] = kLines / seconds;
        state.counters["writer_cpu_us_per_line"] = (writerCpu() - cpuBefore) * 1e6 / kLines;
    }
    HVDDLog::removeLogger(logger);
    for (const auto &other : others)
        HVDDLog::addLogger(other);
    HVDDLog::allLoggers();
    hvLogLevel = savedLevel;
}
BENCHMARK(BM_FileLoggerSustained)
    ->UseManualTime()
    ->Iterations(3)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond);

// For comparison: a synchronous logger's cost, one formatted line written to a file with
// write(2) on the caller's thread.
void BM_BaselineSynchronousFileWrite(benchmark::State &state) {
    const auto path = cachesDirectory() / "baseline.log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    std::vector<double> micros;
    micros.reserve(1 << 17);
    char line[256];
    int value = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const int n = std::snprintf(line, sizeof line,
                                    "2024/01/01 12:00:00:000  HVInfo: %s [Line %d] Wrote %d of "
                                    "%d bytes for protocol %d.\n",
                                    __func__, __LINE__, ++value, 271, 2);
        benchmark::DoNotOptimize(::write(fd, line, static_cast<size_t>(n)));
        const double us = microsSince(start);
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    ::close(fd);
    reportMicros(state, micros);
}
BENCHMARK(BM_BaselineSynchronousFileWrite)->UseManualTime()->Iterations(100000);

// For comparison: what a system-log write costs the caller when made with syslog(3) on the
// caller's thread (here, without a system log daemon, a failed connect on every call).
void BM_BaselineGlibcSyslog(benchmark::State &state) {
    openlog("bench_logging", LOG_PID, LOG_USER);
    std::vector<double> micros;
    micros.reserve(1 << 16);
    int value = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        syslog(LOG_ERR, "HVInfo: %s [Line %d] Wrote %d of %d bytes for protocol %d.", __func__,
               __LINE__, ++value, 271, 2);
        const double us = microsSince(start);
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    closelog();
    reportMicros(state, micros);
}
BENCHMARK(BM_BaselineGlibcSyslog)->UseManualTime()->Iterations(20000);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    HVDDLog::flushLog();
    std::error_code ec;
    std::filesystem::remove_all(cachesDirectory(), ec);
    return 0;
}
