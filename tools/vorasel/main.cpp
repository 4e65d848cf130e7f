#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CaptureOption.h"
#include "Command.h"
#include "LogOption.h"
#include "vorasel/hv_version.h"
#include "vorasel/sim/FirmwareImage.h"

namespace vorasel::tool {

namespace {
std::vector<const Command *> &registry() {
    static std::vector<const Command *> list;
    return list;
}
}  // namespace

Command::Command(const char *n, const char *u, const char *s, CommandMain m, const char *h)
    : name(n), usage(u), summary(s), main(m), help(h) {
    registry().push_back(this);
}

const std::vector<const Command *> &commands() {
    auto &list = registry();
    std::sort(list.begin(), list.end(),
              [](const Command *a, const Command *b) { return std::strcmp(a->name, b->name) < 0; });
    return list;
}

}  // namespace vorasel::tool

namespace {

using vorasel::tool::Command;

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: vorasel [--log off|error|warn|info|debug|verbose]\n"
                 "               [--capture FILE [--capture-limit BYTES]] <command> "
                 "[arguments]\n"
                 "       vorasel --version\n"
                 "       vorasel help COMMAND | vorasel COMMAND --help\n\ncommands:\n");
    int nameWidth = 0;
    int usageWidth = 0;
    for (const auto *c : vorasel::tool::commands()) {
        nameWidth = std::max(nameWidth, static_cast<int>(std::strlen(c->name)));
        usageWidth = std::max(usageWidth, static_cast<int>(std::strlen(c->usage)));
    }
    for (const auto *c : vorasel::tool::commands())
        std::fprintf(out, "  %-*s  %-*s  %s\n", nameWidth, c->name, usageWidth, c->usage,
                     c->summary);
}

void version() {
    std::printf(
        "vorasel %s (libvorasel %s)\nfirmware image format %u (and the older header "
        "without a checksum)\n",
        VORASEL_TOOL_VERSION, hv_library_version, hv::sim::kFirmwareImageFormat);
}

const Command *find(const std::string &name) {
    for (const auto *c : vorasel::tool::commands())
        if (name == c->name) return c;
    return nullptr;
}

int commandHelp(const Command &c) {
    if (!c.help) return c.main({"--help"});
    std::fputs(c.help, stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int logLevel = -1;
    std::string logError;
    if (!vorasel::tool::takeLogOption(args, logLevel, logError)) {
        std::fprintf(stderr, "vorasel: %s\n", logError.c_str());
        return 2;
    }
    if (!vorasel::tool::takeCaptureOption(args, logError)) {
        std::fprintf(stderr, "vorasel: %s\n", logError.c_str());
        return 2;
    }
    const char *daemon = std::getenv("VORASEL_ACCESSORYD_SOCKET");
    if (vorasel::tool::captureRequested() && daemon && *daemon) {
        std::fprintf(stderr,
                     "vorasel: --capture records the case embedded in this run; the daemon's "
                     "case is captured by vorasel-accessoryd --capture FILE\n");
        return 2;
    }
    const vorasel::tool::LogSession logging(logLevel);
    if (args.empty()) {
        usage(stderr);
        return 2;
    }
    const std::string name = args[0];
    if (name == "--version" || name == "-V") {
        version();
        return 0;
    }
    if (name == "-h" || name == "--help" || (name == "help" && args.size() == 1)) {
        usage(stdout);
        return 0;
    }
    if (name == "help") {
        const Command *c = find(args[1]);
        if (!c || args.size() > 2) {
            if (c)
                std::fprintf(stderr, "vorasel: help takes one command\n\n");
            else
                std::fprintf(stderr, "vorasel: no command '%s'\n\n", args[1].c_str());
            usage(stderr);
            return 2;
        }
        return commandHelp(*c);
    }
    if (const Command *c = find(name)) {
        if (args.size() > 1 && (args[1] == "--help" || args[1] == "-h")) return commandHelp(*c);
        return c->main(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    std::fprintf(stderr, "vorasel: unknown command '%s'\n\n", name.c_str());
    usage(stderr);
    return 2;
}
