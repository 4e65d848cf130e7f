// vorasel firmware [--json] IMAGE
// Uploads a firmware image to the case (see CaseConnection) and waits for it to reset and come
// back. Progress is a bar on a terminal (bytes, percentage, rate, time left), plain lines
// otherwise, and JSON events (one object a line) with --json. The exit status is the
// HVManagerStatus of the upgrade; 64 for unusable arguments, 65 for a corrupt image (refused
// before the case is reached), 66 when the image cannot be read.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "CaseConnection.h"
#include "Command.h"
#include "FirmwareFile.h"
#include "ManagerReport.h"
#include "vorasel/EAAccessory.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVManager.h"

namespace vorasel::tool {
namespace {

using Clock = std::chrono::steady_clock;

const char *const kUsage =
    "usage: vorasel firmware [--json] IMAGE\n"
    "The case is the daemon's when VORASEL_ACCESSORYD_SOCKET is set, else one embedded in this\n"
    "run. exit status: the HVManagerStatus (0 success, 1 encode failed, 2 accessory not found,\n"
    "3 session failed, 4 failed); 64 unusable arguments; 65 the image is corrupt (nothing is\n"
    "sent); 66 the image cannot be read\n";

std::string bytesText(double bytes) {
    char buf[32];
    if (bytes < 1024)
        std::snprintf(buf, sizeof buf, "%.0f B", bytes);
    else if (bytes < 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024);
    else
        std::snprintf(buf, sizeof buf, "%.2f MiB", bytes / (1024 * 1024));
    return buf;
}

std::string durationText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 359999) return "--:--";
    const long s = std::lround(seconds);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string revisionText() {
    auto accessory = HVAccessory::sharedClass().getAccessory();
    return accessory ? accessory->firmwareRevision() : "";
}

enum class Style { Bar, Lines, Json };

// Shows the upgrade's progress in the chosen style, as the library reports it.
class ProgressView final : public HVManagerDelegate {
public:
    ProgressView(Style style, uint32_t total) : style_(style), total_(total) {}

    void start() { start_ = Clock::now(); }

    void hvManagerFirmwareUpgradeProgress(float progress) override {
        const double fraction = progress;
        const double sent = std::round(fraction * total_);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        const double rate = elapsed > 0 ? sent / elapsed : 0;
        const double left = rate > 0 ? (total_ - sent) / rate : NAN;
        const int percent = static_cast<int>(std::floor(fraction * 100 + 1e-6));
        switch (style_) {
            case Style::Bar:
                bar(fraction, sent, rate, left, percent);
                break;
            case Style::Lines:
                // A line per tenth, so a log stays short.
                if (percent / 10 != lastPercent_ / 10 || fraction >= 1.0)
                    std::printf("progress %5.1f%%  %s of %s  %s/s  %s left\n", fraction * 100,
                                bytesText(sent).c_str(), bytesText(total_).c_str(),
                                bytesText(rate).c_str(), durationText(left).c_str());
                break;
            case Style::Json:
                if (percent != lastPercent_ || fraction >= 1.0)
                    std::printf(
                        "{\"event\":\"progress\",\"bytes\":%.0f,\"total\":%u,"
                        "\"fraction\":%.4f,\"bytes_per_second\":%.0f,"
                        "\"seconds_left\":%.3f}\n",
                        sent, total_, fraction, rate, std::isfinite(left) ? left : 0.0);
                break;
        }
        lastPercent_ = percent;
        if (fraction >= 1.0) resetting();
        std::fflush(stdout);
    }

    // Every chunk is acknowledged: the library resets the case and waits for it.
    void resetting() {
        chunksDone_ = true;
        if (style_ == Style::Json)
            std::printf("{\"event\":\"reset\"}\n");
        else
            std::printf("reset: waiting for the case to come back\n");
        std::fflush(stdout);
    }

    bool chunksDone() const { return chunksDone_; }
    double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    void bar(double fraction, double sent, double rate, double left, int percent) {
        // Redrawn at most every 50 ms, and at the end.
        const auto now = Clock::now();
        if (fraction < 1.0 && percent == lastPercent_ &&
            now - lastDraw_ < std::chrono::milliseconds(50))
            return;
        lastDraw_ = now;
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(fraction * kWidth);
        std::string cells(static_cast<size_t>(filled), '#');
        cells.append(static_cast<size_t>(kWidth - filled), '-');
        std::printf("\r[%s] %5.1f%%  %s / %s  %s/s  %s left\033[K", cells.c_str(), fraction * 100,
                    bytesText(sent).c_str(), bytesText(total_).c_str(), bytesText(rate).c_str(),
                    durationText(left).c_str());
        if (fraction >= 1.0) std::printf("\n");
    }

    const Style style_;
    const uint32_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_{};
    int lastPercent_ = -1;
    bool chunksDone_ = false;
};

int firmwareMain(const std::vector<std::string> &args) {
    bool json = false;
    std::vector<std::string> paths;
    for (const auto &a : args) {
        if (a == "--json")
            json = true;
        else if (a.size() > 1 && a[0] == '-')
            return std::fprintf(stderr, "vorasel firmware: unknown option '%s'\n%s", a.c_str(),
                                kUsage),
                   kExitUsage;
        else
            paths.push_back(a);
    }
    if (paths.size() != 1) {
        std::fprintf(stderr, "vorasel firmware: give one image\n%s", kUsage);
        return kExitUsage;
    }
    std::vector<uint8_t> image;
    std::string error;
    if (!readFirmwareFile(paths[0], image, error)) {
        std::fprintf(stderr, "vorasel firmware: %s\n", error.c_str());
        return kExitNoInput;
    }
    // A corrupt image never reaches the case: nothing is written, nothing is reset.
    const auto info = hv::sim::inspectFirmwareImage(image);
    if (info.kind == hv::sim::FirmwareImageInfo::Kind::Format1 && !info.ok()) {
        std::fprintf(stderr, "vorasel firmware: %s refused: %s; nothing was sent to the case\n",
                     paths[0].c_str(), hv::sim::firmwareImageFaultText(info.fault));
        return kExitBadImage;
    }
    const auto size = static_cast<uint32_t>(image.size());

    CaseConnection connection;
    connection.open();
    const std::string before = revisionText();
    const Style style = json ? Style::Json : ::isatty(STDOUT_FILENO) ? Style::Bar : Style::Lines;
    if (json)
        std::printf("{\"event\":\"start\",\"image\":%s,\"bytes\":%u,\"case\":%s,\"revision\":%s}\n",
                    jsonString(paths[0]).c_str(), size,
                    jsonString(connection.description()).c_str(), jsonString(before).c_str());
    else
        std::printf("uploading %s (%s) to the %s, firmware %s\n", paths[0].c_str(),
                    bytesText(size).c_str(), connection.description().c_str(),
                    before.empty() ? "unknown" : before.c_str());
    std::fflush(stdout);

    ProgressView view(style, size);
    view.start();
    if (size == 0) view.resetting();
    const HVManagerStatus status =
        HVManager::sharedClass().upgradeFirmwareWithImage(image.data(), size, &view);
    const double seconds = view.elapsed();
    const std::string after = revisionText();
    const bool reset = view.chunksDone();
    if (json) {
        std::printf("{\"event\":\"done\",%s,\"seconds\":%.3f,\"revision\":%s}\n",
                    jsonStatus(status).c_str(), seconds,
                    jsonString(status == HVManagerStatusSuccess ? after : "").c_str());
        // The revision before the upgrade is in the "start" event.
    } else if (status == HVManagerStatusSuccess) {
        std::printf("the case came back with firmware %s (was %s; %.1f s in all)\n",
                    after.empty() ? "unknown" : after.c_str(),
                    before.empty() ? "unknown" : before.c_str(), seconds);
    } else {
        if (style == Style::Bar && !view.chunksDone()) std::printf("\n");
        std::fprintf(stderr, "vorasel firmware: upgrade failed%s: %s (%d)\n",
                     reset ? " after the reset" : "", managerStatusName(status),
                     static_cast<int>(status));
    }
    return static_cast<int>(status);
}

const Command firmwareCommand{"firmware", "[--json] IMAGE",
                              "upload a firmware image to the case and reset it", firmwareMain,
                              kUsage};

}  // namespace
}  // namespace vorasel::tool
