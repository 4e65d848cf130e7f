#include "CaptureOption.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "vorasel/sim/VoraselCase.h"

namespace vorasel::tool {
namespace {

std::string capturePath;
uint64_t captureLimit = hv::sim::WireCapture::kDefaultLimit;

bool parseLimit(const std::string &text, uint64_t &out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno || !end || *end || v == 0) return false;
    out = v;
    return true;
}

}  // namespace

bool takeCaptureOption(std::vector<std::string> &args, std::string &error) {
    std::vector<std::string> rest;
    bool limitGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a != "--capture" && a != "--capture-limit") {
            rest.push_back(a);
            continue;
        }
        if (i + 1 >= args.size()) {
            error = a + (a == "--capture" ? " needs a file" : " needs a number of bytes");
            return false;
        }
        const std::string &value = args[++i];
        if (a == "--capture") {
            capturePath = value;
        } else if (!parseLimit(value, captureLimit)) {
            error = "--capture-limit needs a positive number of bytes, not '" + value + "'";
            return false;
        } else {
            limitGiven = true;
        }
    }
    if (limitGiven && capturePath.empty()) {
        error = "--capture-limit without --capture FILE";
        return false;
    }
    args.swap(rest);
    return true;
}

bool captureRequested() {
    return !capturePath.empty();
}

bool startCapture(hv::sim::VoraselCase &theCase, std::string &error) {
    if (capturePath.empty()) return true;
    return theCase.startCapture(capturePath, captureLimit, error);
}

void reportCapture(const hv::sim::VoraselCase &theCase) {
    const auto capture = theCase.capture();
    if (!capture) return;
    const auto s = capture->stats();
    std::fprintf(stderr, "capture: %llu messages, %llu bytes in %s%s%s\n",
                 static_cast<unsigned long long>(s.messages),
                 static_cast<unsigned long long>(s.bytes), capturePath.c_str(),
                 s.limitReached ? "; stopped at its limit, later messages not written" : "",
                 s.error.empty() ? "" : ("; " + s.error).c_str());
}

}  // namespace vorasel::tool
