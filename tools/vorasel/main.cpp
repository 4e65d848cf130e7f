#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CaptureOption.h"
#include "Command.h"
#include "LogOption.h"

namespace vorasel::tool {

namespace {
std::vector<const Command *> &registry() {
    static std::vector<const Command *> list;
    return list;
}
}  // namespace

Command::Command(const char *n, const char *u, const char *s, CommandMain m)
    : name(n), usage(u), summary(s), main(m) {
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

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: vorasel [--log off|error|warn|info|debug|verbose]\n"
                 "               [--capture FILE [--capture-limit BYTES]] <command> "
                 "[arguments]\n\ncommands:\n");
    for (const auto *c : vorasel::tool::commands())
        std::fprintf(out, "  %-6s %-22s %s\n", c->name, c->usage, c->summary);
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
    if (name == "-h" || name == "--help" || name == "help") {
        usage(stdout);
        return 0;
    }
    for (const auto *c : vorasel::tool::commands()) {
        if (name == c->name) return c->main(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    std::fprintf(stderr, "vorasel: unknown command '%s'\n\n", name.c_str());
    usage(stderr);
    return 2;
}
