// vorasel pcscd-config --socket PATH [--libpath MODULE]
// Prints the reader.conf.d entry with which pcscd serves the case of the vorasel-accessoryd
// listening at PATH, through the reader module: the one beside this tool (installed, or in the
// build tree), else where it installs, unless --libpath names it. pcscd refuses to start over
// one unreadable entry, so an entry it could not read is refused here instead.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "Command.h"
#include "ReaderConf.h"

namespace vorasel::tool {
namespace {

namespace fs = std::filesystem;

std::string findModule() {
    std::error_code error;
    const fs::path tool = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        const fs::path prefix = tool.parent_path().parent_path();
        for (const fs::path &candidate :
             {prefix / VORASEL_IFDHANDLER_RELATIVE, prefix / "ifdhandler" / "libifdvorasel.so"}) {
            if (fs::exists(candidate, error))
                return fs::weakly_canonical(candidate, error).string();
        }
    }
    return VORASEL_IFDHANDLER_INSTALLED;
}

int usage() {
    std::fprintf(stderr, "usage: vorasel pcscd-config --socket PATH [--libpath MODULE]\n");
    return 2;
}

int run(const std::vector<std::string> &args) {
    std::string socket, module;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--socket" && i + 1 < args.size()) {
            socket = args[++i];
        } else if (args[i] == "--libpath" && i + 1 < args.size()) {
            module = args[++i];
        } else {
            std::fprintf(stderr, "vorasel pcscd-config: unknown argument '%s'\n", args[i].c_str());
            return usage();
        }
    }
    if (socket.empty()) return usage();
    if (module.empty()) {
        module = findModule();
    } else {
        // pcscd loads it from its own working directory.
        std::error_code ignored;
        module = fs::absolute(module, ignored).lexically_normal().string();
    }
    std::string error;
    const std::string entry = hv::ifdhandler::readerConfEntry(socket, module, error);
    if (entry.empty()) {
        std::fprintf(stderr, "vorasel pcscd-config: %s\n", error.c_str());
        return 2;
    }
    std::fputs(entry.c_str(), stdout);
    return 0;
}

const char *const kHelp =
    "usage: vorasel pcscd-config --socket PATH [--libpath MODULE]\n"
    "  prints the reader.conf.d entry with which pcscd serves the case of the\n"
    "  vorasel-accessoryd listening at PATH, through the reader module MODULE\n"
    "  (default: the one beside this tool, else where it installs)\n"
    "  exit status: 0 printed, 2 bad arguments or an entry pcscd could not read\n";

const Command command{"pcscd-config", "--socket PATH", "print pcscd's reader entry for the case",
                      run, kHelp};

}  // namespace
}  // namespace vorasel::tool
