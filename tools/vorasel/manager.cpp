// vorasel manager [--json] capabilities | counters [--reset] | gpio read PORT MASK |
//                          gpio write PORT MASK STATE | property get KEY | property set KEY VALUE
// One management operation against the case (see CaseConnection); the exit status is its
// HVManagerStatus, 64 for unusable arguments.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CaseConnection.h"
#include "Command.h"
#include "ManagerReport.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVManager.h"

namespace vorasel::tool {
namespace {

const char *const kUsage =
    "usage: vorasel manager [--json] capabilities\n"
    "       vorasel manager [--json] counters [--reset]\n"
    "       vorasel manager [--json] gpio read PORT MASK\n"
    "       vorasel manager [--json] gpio write PORT MASK STATE\n"
    "       vorasel manager [--json] property get KEY\n"
    "       vorasel manager [--json] property set KEY VALUE\n"
    "PORT, MASK and STATE are decimal or 0x-prefixed hex. The case is the daemon's when\n"
    "VORASEL_ACCESSORYD_SOCKET is set, else one embedded in this run.\n"
    "exit status: the HVManagerStatus (0 success, 1 encode failed, 2 accessory not found,\n"
    "3 session failed, 4 failed); 64 unusable arguments\n";

int usage(const std::string &problem) {
    std::fprintf(stderr, "vorasel manager: %s\n%s", problem.c_str(), kUsage);
    return kExitUsage;
}

// A number of at most `max`, decimal or 0x hex.
bool parseNumber(const std::string &text, unsigned long max, unsigned long *out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || !end || *end != '\0' || v > max) return false;
    *out = v;
    return true;
}

std::string hex16(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", v & 0xFFFF);
    return buf;
}

class Run {
public:
    Run(std::string command, bool json) : command_(std::move(command)), json_(json) {}

    // Prints the outcome: `text` (lines) or `members` (JSON), or the failure.
    int report(HVManagerStatus status, const std::string &text, const std::string &members) {
        if (json_) {
            std::printf(
                "{\"command\":%s,%s%s}\n", jsonString(command_).c_str(), jsonStatus(status).c_str(),
                status == HVManagerStatusSuccess && !members.empty() ? ("," + members).c_str()
                                                                     : "");
        } else if (status == HVManagerStatusSuccess) {
            std::printf("%s", text.c_str());
        } else {
            std::fprintf(stderr, "vorasel manager: %s failed: %s (%d)\n", command_.c_str(),
                         managerStatusName(status), static_cast<int>(status));
        }
        return static_cast<int>(status);
    }

private:
    const std::string command_;
    const bool json_;
};

int capabilities(Run &run) {
    uint32_t bits = 0;
    const HVManagerStatus status = HVManager::sharedClass().getCapabilities(&bits);
    const bool fingerprint = bits & 1, reader = bits & 2;
    const bool contactless = HVAccessory::sharedClass().hasContactlessReader();
    char text[160];
    std::snprintf(text, sizeof text,
                  "capabilities 0x%08X\nfingerprint sensor: %s\nsmart-card reader: %s\n"
                  "contactless reader: %s\n",
                  bits, fingerprint ? "yes" : "no", reader ? "yes" : "no",
                  contactless ? "yes" : "no");
    const std::string members = "\"capabilities\":" + std::to_string(bits) +
                                ",\"fingerprint_sensor\":" + (fingerprint ? "true" : "false") +
                                ",\"smartcard_reader\":" + (reader ? "true" : "false") +
                                ",\"contactless_reader\":" + (contactless ? "true" : "false");
    return run.report(status, text, members);
}

int counters(Run &run, bool reset) {
    HVManager &manager = HVManager::sharedClass();
    if (reset) {
        const HVManagerStatus status = manager.resetCounters();
        if (status != HVManagerStatusSuccess) return run.report(status, "", "");
    }
    std::vector<HVAccessoryCounter> list;
    const HVManagerStatus status = manager.readCounters(list);
    std::string text = reset ? "counters reset\n" : "";
    std::string members =
        std::string("\"reset\":") + (reset ? "true" : "false") + ",\"counters\":[";
    for (size_t i = 0; i < list.size(); ++i) {
        text += list[i].name() + " " + std::to_string(list[i].value()) + "\n";
        members += (i ? ",{" : "{") + std::string("\"name\":") + jsonString(list[i].name()) +
                   ",\"value\":" + std::to_string(list[i].value()) + "}";
    }
    return run.report(status, text, members + "]");
}

struct Pins {
    bool write = false;
    unsigned long port = 0, mask = 0, state = 0;
};

// An empty text when the words are a GPIO operation, else what is wrong.
std::string parseGpio(const std::vector<std::string> &words, Pins *p) {
    p->write = words[1] == "write";
    if ((!p->write && words[1] != "read") || words.size() != (p->write ? 5u : 4u))
        return "gpio read PORT MASK, or gpio write PORT MASK STATE";
    if (!parseNumber(words[2], 0xFF, &p->port)) return "PORT must be 0..255";
    if (!parseNumber(words[3], 0xFFFF, &p->mask)) return "MASK must be 0..0xFFFF";
    if (p->write && !parseNumber(words[4], 0xFFFF, &p->state)) return "STATE must be 0..0xFFFF";
    return "";
}

int gpio(Run &run, const Pins &p) {
    const bool write = p.write;
    const unsigned long port = p.port, mask = p.mask, state = p.state;
    HVManager &manager = HVManager::sharedClass();
    const std::string pins = "port " + std::to_string(port) + " mask " + hex16(mask);
    std::string members = "\"port\":" + std::to_string(port) + ",\"mask\":" + std::to_string(mask);
    if (write) {
        const HVManagerStatus status = manager.writeGPIOState(
            static_cast<uint16_t>(state), static_cast<uint8_t>(port), static_cast<uint16_t>(mask));
        return run.report(status, pins + ": wrote " + hex16(state) + "\n",
                          members + ",\"state\":" + std::to_string(state));
    }
    uint16_t read = 0;
    const HVManagerStatus status =
        manager.readGPIOState(&read, static_cast<uint8_t>(port), static_cast<uint16_t>(mask));
    return run.report(status, pins + ": state " + hex16(read) + "\n",
                      members + ",\"state\":" + std::to_string(read));
}

bool isPropertyOperation(const std::vector<std::string> &words) {
    return (words[1] == "get" && words.size() == 3) || (words[1] == "set" && words.size() == 4);
}

int property(Run &run, const std::vector<std::string> &words) {
    const bool set = words[1] == "set";
    const std::string &key = words[2];
    HVManager &manager = HVManager::sharedClass();
    const std::string keyMember = "\"key\":" + jsonString(key);
    if (set) {
        const std::string &value = words[3];
        const HVManagerStatus status = manager.writePropertyValue(value.c_str(), key.c_str());
        return run.report(status, key + " = " + value + "\n",
                          keyMember + ",\"value\":" + jsonString(value));
    }
    char value[HVManager::kPropertyValueCapacity] = {};
    const HVManagerStatus status = manager.readPropertyValue(value, key.c_str());
    return run.report(status, std::string(value) + "\n",
                      keyMember + ",\"value\":" + jsonString(value));
}

int managerMain(const std::vector<std::string> &args) {
    bool json = false;
    std::vector<std::string> words;
    for (const auto &a : args) {
        if (a == "--json")
            json = true;
        else
            words.push_back(a);
    }
    if (words.empty()) return usage("no operation given");
    const std::string &op = words[0];
    bool reset = false;
    if (op == "capabilities") {
        if (words.size() != 1) return usage("capabilities takes no arguments");
    } else if (op == "counters") {
        if (words.size() > 2 || (words.size() == 2 && words[1] != "--reset"))
            return usage("counters takes only --reset");
        reset = words.size() == 2;
    } else if (op == "gpio" || op == "property") {
        if (words.size() < 2) return usage(op + " needs an action");
    } else {
        return usage("unknown operation '" + op + "'");
    }
    Pins pins;
    if (op == "gpio") {
        if (const std::string problem = parseGpio(words, &pins); !problem.empty())
            return usage(problem);
    } else if (op == "property" && !isPropertyOperation(words)) {
        return usage("property get KEY, or property set KEY VALUE");
    }

    CaseConnection connection;
    connection.open();
    Run run(op == "gpio" || op == "property" ? op + " " + words[1] : op, json);
    if (op == "capabilities") return capabilities(run);
    if (op == "counters") return counters(run, reset);
    if (op == "gpio") return gpio(run, pins);
    return property(run, words);
}

const Command managerCommand{"manager", "OPERATION [ARGS]",
                             "manage the case: capabilities, counters, GPIO, properties",
                             managerMain, kUsage};

}  // namespace
}  // namespace vorasel::tool
