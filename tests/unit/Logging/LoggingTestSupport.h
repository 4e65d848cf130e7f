// A temporary caches directory for the file logger tests, the platform console captured, and
// helpers to look at the log files.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Application.h"
#include "vorasel/HVDDFileLogger.h"
#include "vorasel/HVLog.h"

namespace hv::test {

class LogFilesFixture : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        caches_ = std::filesystem::temp_directory_path() /
                  ("hv-logs-" + std::to_string(::getpid()) + "-" + info->name());
        std::filesystem::remove_all(caches_);
        std::filesystem::create_directories(caches_);
        auto &app = hv::platform::Application::shared();
        app.setCachesDirectory(caches_.string());
        app.setConsoleLogHook([this](const std::string &text) {
            std::lock_guard lock(consoleMutex_);
            console_.push_back(text);
        });
    }

    void TearDown() override {
        for (auto &logger : installed_)
            HVDDLog::removeLogger(logger);
        HVDDLog::allLoggers();
        installed_.clear();  // the loggers close their files
        auto &app = hv::platform::Application::shared();
        app.setConsoleLogHook(nullptr);
        app.setCachesDirectory("");
        app.setInfoList(hv::platform::Application::BackgroundModesKey, {});
        std::error_code ec;
        std::filesystem::remove_all(caches_, ec);
    }

    // A file logger added to the logging core for this test.
    std::shared_ptr<HVDDFileLogger> install(std::shared_ptr<HVDDLogFileManager> manager = nullptr) {
        auto logger = manager ? std::make_shared<HVDDFileLogger>(std::move(manager))
                              : std::make_shared<HVDDFileLogger>();
        HVDDLog::addLogger(logger);
        installed_.push_back(logger);
        return logger;
    }

    static void log(const std::string &text) {
        HVDDLog::log(false, HVLogLevelVerbose, HVLogFlagInfo, 0, __FILE__, "test", 1, nullptr, "%s",
                     text.c_str());
    }

    std::filesystem::path logs() const { return caches_ / "Logs"; }
    std::filesystem::path logFile(const std::string &name = "HalvaneiOSLibrary.log") const {
        return logs() / name;
    }

    // The names in the Logs folder, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        std::error_code ec;
        for (const auto &entry : std::filesystem::directory_iterator(logs(), ec))
            result.push_back(entry.path().filename().string());
        std::sort(result.begin(), result.end());
        return result;
    }

    static std::string read(const std::filesystem::path &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static bool archived(const std::filesystem::path &path) {
        return hv::platform::Application::hasExtendedAttribute(path.string(), "hvdd.log.archived");
    }

    std::vector<std::string> console() {
        std::lock_guard lock(consoleMutex_);
        return console_;
    }

    std::filesystem::path caches_;

private:
    std::vector<std::shared_ptr<HVDDFileLogger>> installed_;
    std::mutex consoleMutex_;
    std::vector<std::string> console_;
};

}  // namespace hv::test
