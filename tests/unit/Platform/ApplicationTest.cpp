#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "Platform/Application.h"
#include "Platform/NotificationCenter.h"

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
    EXPECT_TRUE(app.isMainThread());
    bool otherIsMain = true;
    std::thread([&] { otherIsMain = app.isMainThread(); }).join();
    EXPECT_FALSE(otherIsMain);
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

    std::vector<std::string> played;
    app.setSoundHook([&](const std::string &p) { played.push_back(p); });
    app.playSystemSound(*path);
    app.setSoundHook(nullptr);
    app.setResourceDirectory("");
    EXPECT_EQ(played, std::vector<std::string>{*path});
    std::filesystem::remove_all(dir);
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
