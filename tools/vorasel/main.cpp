#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Command.h"

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
    std::fprintf(out, "usage: vorasel <command> [arguments]\n\ncommands:\n");
    for (const auto *c : vorasel::tool::commands())
        std::fprintf(out, "  %-6s %-22s %s\n", c->name, c->usage, c->summary);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        usage(stdout);
        return 0;
    }
    for (const auto *c : vorasel::tool::commands()) {
        if (name == c->name) return c->main(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "vorasel: unknown command '%s'\n\n", name.c_str());
    usage(stderr);
    return 2;
}
