#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Application.h"
#include "Platform/NotificationCenter.h"
#include "Platform/RunLoop.h"
#include "Wait.h"

using hv::platform::Application;
using hv::platform::NotificationCenter;

namespace {

std::filesystem::path freshDir(const std::string &name) {
    auto dir = std::filesystem::temp_directory_path() /
               ("hv-app-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace

TEST(Application, DefaultInformationDictionaryDeclaresEveryAccessoryProtocol) {
    const auto protocols =
        Application::shared().infoList(Application::SupportedAccessoryProtocolsKey);
    EXPECT_EQ(protocols,
              (std::vector<std::string>{"com.vorasel.sensor", "com.vorasel.ccidcontrol",
                                        "com.vorasel.ccidbulk", "com.vorasel.ccidinterrupt",
                                        "com.vorasel.trace", "com.vorasel.manager"}));
    EXPECT_TRUE(Application::shared().infoList(Application::BackgroundModesKey).empty());
}

TEST(Application, InformationAndDefaultsCanBeSetByTheHost) {
    Application &app = Application::shared();
    const auto saved = app.infoList(Application::BackgroundModesKey);
    app.setInfoList(Application::BackgroundModesKey, {"external-accessory"});
    EXPECT_EQ(app.infoList(Application::BackgroundModesKey),
              std::vector<std::string>{"external-accessory"});
    app.setInfoList(Application::BackgroundModesKey, saved);

    EXPECT_FALSE(app.boolForKey("HVPlaySounds"));
    app.setBool("HVPlaySounds", true);
    EXPECT_TRUE(app.boolForKey("HVPlaySounds"));
    app.removeDefault("HVPlaySounds");
    EXPECT_FALSE(app.boolForKey("HVPlaySounds"));
}

TEST(Application, KnowsTheMainThreadAndTheSystem) {
    Application &app = Application::shared();
    // The library's dispatcher is the main thread here; the test's thread is not.
    EXPECT_FALSE(app.isMainThread());
    std::atomic<int> onMain{-1};
    hv::platform::RunLoop::main().perform([&] { onMain.store(app.isMainThread() ? 1 : 0); });
    ASSERT_TRUE(hv::test::waitUntil([&] { return onMain.load() >= 0; }));
    EXPECT_EQ(onMain.load(), 1);
    EXPECT_FALSE(app.operatingSystemVersion().empty());
    EXPECT_FALSE(app.processName().empty());
}

TEST(Application, FindsResourcesAndHandsSoundsToTheHook) {
    Application &app = Application::shared();
    const auto dir = freshDir("res");
    std::ofstream(dir / "HVAccessoryConnected.wav") << "RIFF";
    app.setResourceDirectory(dir.string());
    const auto path = app.pathForResource("HVAccessoryConnected", "wav");
    ASSERT_TRUE(path.has_value());
    EXPECT_FALSE(app.pathForResource("HVAccessoryDisconnected", "wav").has_value());

    std::mutex mutex;
    std::vector<std::string> played;
    std::thread::id hookThread;
    app.setSoundHook([&](const std::string &p) {
        std::lock_guard lock(mutex);
        played.push_back(p);
        hookThread = std::this_thread::get_id();
    });
    app.playSystemSound(*path);
    EXPECT_TRUE(hv::test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return !played.empty();
    }));
    app.setSoundHook(nullptr);
    app.setResourceDirectory("");
    std::lock_guard lock(mutex);
    EXPECT_EQ(played, std::vector<std::string>{*path});
    EXPECT_NE(hookThread, std::this_thread::get_id());
    std::filesystem::remove_all(dir);
}

TEST(Application, ASlowSoundHookNeverHoldsUpTheCallerAndDropsWhatItCannotKeep) {
    Application &app = Application::shared();
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> played{0};
    app.setSoundHook([&](const std::string &) {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return release; });
        played.fetch_add(1);
    });
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3 * Application::kMaxPendingSounds; ++i)
        app.playSystemSound("/nowhere/sound.wav");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    cv.notify_all();
    EXPECT_TRUE(
        hv::test::waitUntil([&] { return played.load() == Application::kMaxPendingSounds; }));
    // Once the hook has caught up, sounds play again.
    app.playSystemSound("/nowhere/sound.wav");
    EXPECT_TRUE(
        hv::test::waitUntil([&] { return played.load() == Application::kMaxPendingSounds + 1; }));
    app.setSoundHook(nullptr);
}

TEST(Application, CachesDirectoryFollowsTheEnvironmentUnlessSet) {
    Application &app = Application::shared();
    setenv("XDG_CACHE_HOME", "/tmp/hv-xdg-cache", 1);
    EXPECT_EQ(app.cachesDirectory(), "/tmp/hv-xdg-cache");
    unsetenv("XDG_CACHE_HOME");
    if (const char *home = getenv("HOME")) {
        EXPECT_EQ(app.cachesDirectory(), std::string(home) + "/.cache");
    }
    app.setCachesDirectory("/tmp/hv-set-cache");
    EXPECT_EQ(app.cachesDirectory(), "/tmp/hv-set-cache");
    app.setCachesDirectory("");
}

TEST(Application, ExtendedAttributesAndProtectionClasses) {
    const auto dir = freshDir("xattr");
    const auto file = (dir / "f.log").string();
    std::ofstream(file) << "x";
    std::string error;
    if (!Application::setExtendedAttribute(file, "hvdd.log.archived", "", &error))
        GTEST_SKIP() << "file system without user extended attributes: " << error;
    EXPECT_TRUE(Application::hasExtendedAttribute(file, "hvdd.log.archived"));
    EXPECT_TRUE(Application::removeExtendedAttribute(file, "hvdd.log.archived"));
    EXPECT_FALSE(Application::hasExtendedAttribute(file, "hvdd.log.archived"));
    EXPECT_FALSE(Application::removeExtendedAttribute(file, "hvdd.log.archived", &error));
    EXPECT_FALSE(error.empty());

    EXPECT_FALSE(Application::fileProtection(file).has_value());
    ASSERT_TRUE(Application::setFileProtection(
        file, Application::FileProtectionCompleteUntilFirstUserAuthentication));
    EXPECT_EQ(Application::fileProtection(file),
              std::string(Application::FileProtectionCompleteUntilFirstUserAuthentication));
    std::filesystem::remove_all(dir);
}

TEST(Application, PostsItsThreeMovesThroughTheDefaultCenter) {
    std::vector<std::string> seen;
    auto &center = NotificationCenter::defaultCenter();
    auto token =
        center.addObserver("", &Application::shared(),
                           [&](const hv::platform::Notification &n) { seen.push_back(n.name); });
    Application::shared().postDidEnterBackground();
    Application::shared().postWillEnterForeground();
    Application::shared().postWillTerminate();
    center.removeObserver(token);
    EXPECT_EQ(seen, (std::vector<std::string>{Application::DidEnterBackgroundNotification,
                                              Application::WillEnterForegroundNotification,
                                              Application::WillTerminateNotification}));
}
