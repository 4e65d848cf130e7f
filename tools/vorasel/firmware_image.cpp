// vorasel firmware-image build --revision REV PAYLOAD OUTPUT
// vorasel firmware-image check [--json] IMAGE
// Makes and checks the image files that `vorasel firmware` uploads (format in
// vorasel/sim/FirmwareImage.h).
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Command.h"
#include "FirmwareFile.h"
#include "Json.h"
#include "ManagerReport.h"

namespace vorasel::tool {

bool readFirmwareFile(const std::string &path, std::vector<uint8_t> &out, std::string &error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read " + path;
        return false;
    }
    if (out.size() >= UINT32_MAX) {
        error = path + " is 4 GiB or larger";
        return false;
    }
    return true;
}

std::string describeFirmwareImage(const hv::sim::FirmwareImageInfo &info) {
    using Kind = hv::sim::FirmwareImageInfo::Kind;
    char buf[160];
    switch (info.kind) {
        case Kind::Raw:
            std::snprintf(buf, sizeof buf,
                          "no header, %" PRIu32 "-byte payload: the case keeps its revision",
                          info.payloadLength);
            break;
        case Kind::Legacy:
            std::snprintf(buf, sizeof buf,
                          "older header without a checksum, revision %s, %" PRIu32 "-byte payload",
                          info.revision.c_str(), info.payloadLength);
            break;
        case Kind::Format1:
            std::snprintf(buf, sizeof buf,
                          "format %u, revision %s, %" PRIu32 "-byte payload, CRC-32 0x%08" PRIx32,
                          info.format, info.revision.c_str(), info.payloadLength, info.storedCrc);
            break;
    }
    return buf;
}

namespace {

const char *const kHelp =
    "usage: vorasel firmware-image build --revision REV PAYLOAD OUTPUT\n"
    "       vorasel firmware-image check [--json] IMAGE\n"
    "  build wraps PAYLOAD in an image of format 1 that names revision REV (1..64\n"
    "  printable characters) and carries a CRC-32 of the payload; check reads an\n"
    "  image's header and verifies its checksum\n"
    "  exit status: 0 built or sound, 65 the image is corrupt, 64 unusable\n"
    "  arguments, 66 an input cannot be read, 73 OUTPUT cannot be written\n";

int usage(const std::string &problem) {
    std::fprintf(stderr, "vorasel firmware-image: %s\n%s", problem.c_str(), kHelp);
    return kExitUsage;
}

int build(const std::vector<std::string> &args) {
    std::string revision;
    std::vector<std::string> paths;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--revision" && i + 1 < args.size())
            revision = args[++i];
        else if (args[i].size() > 1 && args[i][0] == '-')
            return usage("unknown option '" + args[i] + "'");
        else
            paths.push_back(args[i]);
    }
    if (revision.empty()) return usage("build needs --revision REV");
    if (paths.size() != 2) return usage("build needs PAYLOAD and OUTPUT");
    std::vector<uint8_t> payload;
    std::string error;
    if (!readFirmwareFile(paths[0], payload, error)) {
        std::fprintf(stderr, "vorasel firmware-image: %s\n", error.c_str());
        return kExitNoInput;
    }
    std::vector<uint8_t> image;
    if (!hv::sim::buildFirmwareImage(revision, payload, image))
        return usage("REV must be 1..64 printable characters");
    // Written beside the output and renamed, so a failed run never leaves half an image.
    const std::string temp = paths[1] + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        out.close();
        if (!out) {
            std::remove(temp.c_str());
            std::fprintf(stderr, "vorasel firmware-image: cannot write %s\n", paths[1].c_str());
            return kExitCantCreate;
        }
    }
    if (std::rename(temp.c_str(), paths[1].c_str()) != 0) {
        std::remove(temp.c_str());
        std::fprintf(stderr, "vorasel firmware-image: cannot write %s\n", paths[1].c_str());
        return kExitCantCreate;
    }
    std::printf("%s: %s\n", paths[1].c_str(),
                describeFirmwareImage(hv::sim::inspectFirmwareImage(image)).c_str());
    return 0;
}

int check(const std::vector<std::string> &args) {
    bool json = false;
    std::vector<std::string> paths;
    for (const auto &a : args) {
        if (a == "--json")
            json = true;
        else if (a.size() > 1 && a[0] == '-')
            return usage("unknown option '" + a + "'");
        else
            paths.push_back(a);
    }
    if (paths.size() != 1) return usage("check needs one IMAGE");
    std::vector<uint8_t> image;
    std::string error;
    if (!readFirmwareFile(paths[0], image, error)) {
        std::fprintf(stderr, "vorasel firmware-image: %s\n", error.c_str());
        return kExitNoInput;
    }
    const auto info = hv::sim::inspectFirmwareImage(image);
    if (json) {
        static const char *const kKinds[] = {"raw", "legacy", "format1"};
        std::printf(
            "{\"image\":%s,\"kind\":\"%s\",\"format\":%u,\"revision\":%s,"
            "\"payload\":%" PRIu32 ",\"sound\":%s,\"problem\":%s}\n",
            jsonString(paths[0]).c_str(), kKinds[static_cast<int>(info.kind)], info.format,
            jsonString(info.revision).c_str(), info.payloadLength, info.ok() ? "true" : "false",
            info.ok() ? "null" : jsonString(hv::sim::firmwareImageFaultText(info.fault)).c_str());
    } else if (info.ok()) {
        std::printf("%s: %s\n", paths[0].c_str(), describeFirmwareImage(info).c_str());
    }
    if (!info.ok()) {
        std::fprintf(stderr, "vorasel firmware-image: %s: %s\n", paths[0].c_str(),
                     hv::sim::firmwareImageFaultText(info.fault));
        return kExitBadImage;
    }
    return 0;
}

int run(const std::vector<std::string> &args) {
    if (args.empty()) return usage("give build or check");
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "build") return build(rest);
    if (args[0] == "check") return check(rest);
    return usage("unknown operation '" + args[0] + "'");
}

const Command command{"firmware-image", "build|check ...", "make or verify a firmware image file",
                      run, kHelp};

}  // namespace
}  // namespace vorasel::tool
