#include "Logging/TerminalColors.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace hv::logging {
namespace {

constexpr Rgb kBasic16[16] = {
    {0, 0, 0},     {205, 0, 0},     {0, 205, 0},     {205, 205, 0},   {0, 0, 238}, {205, 0, 205},
    {0, 205, 205}, {229, 229, 229}, {127, 127, 127}, {255, 0, 0},     {0, 255, 0}, {255, 255, 0},
    {92, 92, 255}, {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};
constexpr uint8_t kCubeLevels[6] = {0, 95, 135, 175, 215, 255};

bool containsIgnoringCase(std::string_view text, std::string_view word) {
    if (word.size() > text.size()) return false;
    for (size_t i = 0; i + word.size() <= text.size(); ++i) {
        size_t j = 0;
        while (j < word.size() && std::tolower(static_cast<unsigned char>(text[i + j])) ==
                                      std::tolower(static_cast<unsigned char>(word[j])))
            ++j;
        if (j == word.size()) return true;
    }
    return false;
}

std::string format(const char *pattern, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, pattern, a, b, c);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string code(ColorCodes codes, Rgb color, bool foreground) {
    switch (codes) {
        case ColorCodes::None:
            return {};
        case ColorCodes::XcodeColors:
            return format(foreground ? "\033[fg%u,%u,%u;" : "\033[bg%u,%u,%u;", color.r, color.g,
                          color.b);
        case ColorCodes::Terminal16: {
            const unsigned i = nearestPaletteIndex(16, color);
            if (i < 8) return format("\033[%um", (foreground ? 30 : 40) + i);
            return format("\033[%um", (foreground ? 90 : 100) + (i - 8));
        }
        case ColorCodes::Terminal256:
            return format(foreground ? "\033[38;5;%um" : "\033[48;5;%um",
                          nearestPaletteIndex(256, color));
    }
    return {};
}

}  // namespace

ColorCodes colorCodesFor(const char *term, const char *xcodeColors) {
    if (term) {
        if (!containsIgnoringCase(term, "color")) return ColorCodes::None;
        return std::strstr(term, "256") ? ColorCodes::Terminal256 : ColorCodes::Terminal16;
    }
    if (xcodeColors && std::strcmp(xcodeColors, "YES") == 0) return ColorCodes::XcodeColors;
    return ColorCodes::None;
}

Rgb paletteColor(unsigned index) {
    if (index < 16) return kBasic16[index];
    if (index < 232) {
        const unsigned cube = index - 16;
        return {kCubeLevels[cube / 36], kCubeLevels[(cube / 6) % 6], kCubeLevels[cube % 6]};
    }
    const auto grey = static_cast<uint8_t>(8 + 10 * (index - 232));
    return {grey, grey, grey};
}

unsigned nearestPaletteIndex(unsigned paletteSize, Rgb color) {
    unsigned best = 0;
    long bestDistance = -1;
    for (unsigned i = 0; i < paletteSize && i < 256; ++i) {
        const Rgb p = paletteColor(i);
        const long dr = long{p.r} - color.r, dg = long{p.g} - color.g, db = long{p.b} - color.b;
        const long distance = dr * dr + dg * dg + db * db;
        if (bestDistance < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

std::string foregroundCode(ColorCodes codes, Rgb color) {
    return code(codes, color, true);
}

std::string backgroundCode(ColorCodes codes, Rgb color) {
    return code(codes, color, false);
}

std::string resetCode(ColorCodes codes) {
    switch (codes) {
        case ColorCodes::None:
            return {};
        case ColorCodes::XcodeColors:
            return "\033[;";
        case ColorCodes::Terminal16:
        case ColorCodes::Terminal256:
            return "\033[0m";
    }
    return {};
}

}  // namespace hv::logging
