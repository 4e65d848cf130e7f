// Subcommands of the `vorasel` tool register themselves with a static Command object:
//   static const vorasel::tool::Command atr{"atr", "HEX... | -", "decode answers-to-reset", run};
// Exit statuses: 0 success, 1 the input was processed and found bad, 2 unusable arguments.
// `help`, when given, is what `vorasel NAME --help` and `vorasel help NAME` print; without it
// the command is run with "--help" and answers itself.
#pragma once

#include <string>
#include <vector>

namespace vorasel::tool {

using CommandMain = int (*)(const std::vector<std::string> &args);

class Command {
public:
    Command(const char *name, const char *usage, const char *summary, CommandMain main,
            const char *help = nullptr);
    const char *name;
    const char *usage;
    const char *summary;
    CommandMain main;
    const char *help;
};

const std::vector<const Command *> &commands();

}  // namespace vorasel::tool
