#include "serial/TTYDrivers.h"

#include <charconv>

namespace lintaro {

namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool Number(std::string_view text, unsigned& value) {
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && last == end && !text.empty();
}

}  // namespace

std::vector<TTYDriverRange> ParseTTYDrivers(std::string_view text) {
    std::vector<TTYDriverRange> drivers;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        const std::vector<std::string_view> words = Words(line);
        if (words.size() != 5) continue;
        TTYDriverRange range;
        const std::string_view minors = words[3];
        const std::size_t dash = minors.find('-');
        if (!Number(words[2], range.major)) continue;
        if (dash == std::string_view::npos) {
            if (!Number(minors, range.minorFirst)) continue;
            range.minorLast = range.minorFirst;
        } else if (!Number(minors.substr(0, dash), range.minorFirst) ||
                   !Number(minors.substr(dash + 1), range.minorLast) ||
                   range.minorLast < range.minorFirst) {
            continue;
        }
        range.type = std::string(words[4]);
        drivers.push_back(std::move(range));
    }
    return drivers;
}

bool IsLineTerminal(const std::vector<TTYDriverRange>& drivers, unsigned major, unsigned minor) {
    for (const TTYDriverRange& range : drivers) {
        if (range.major == major && minor >= range.minorFirst && minor <= range.minorLast) {
            return range.type == "serial" || range.type == "pty:slave";
        }
    }
    return false;
}

}  // namespace lintaro
