// Checks of option values, run by the argument parser before a value is converted, so that every
// bad value of a kind gets the same wording and the usage status (2): "--k: expected a whole
// number of 1 or more, not "abc"".
#ifndef CLASTOOL_TOOLS_OPTIONS_H
#define CLASTOOL_TOOLS_OPTIONS_H

#include <CLI/CLI.hpp>
#include <charconv>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace cli {

// A whole number of at least `min` that fits a long.
inline CLI::Validator wholeNumber(long min) {
    return CLI::Validator(
        [min](std::string& text) {
            long v = 0;
            const char* end = text.data() + text.size();
            const auto res = std::from_chars(text.data(), end, v);
            if (res.ec != std::errc() || res.ptr != end || v < min)
                return "expected a whole number of " + std::to_string(min) + " or more, not \"" + text + "\"";
            return std::string();
        },
        "INT>=" + std::to_string(min));
}

// A finite number above `min` (or at least `min` when `inclusive`).
inline CLI::Validator realNumber(double min, bool inclusive) {
    const std::string bound = (inclusive ? "of " : "greater than ") + std::to_string(static_cast<long>(min)) +
                              (inclusive ? " or more" : "");
    return CLI::Validator(
        [min, inclusive, bound](std::string& text) {
            double v = 0.0;
            const char* end = text.data() + text.size();
            const auto res = std::from_chars(text.data(), end, v);
            const bool ok = res.ec == std::errc() && res.ptr == end && std::isfinite(v) &&
                            (inclusive ? v >= min : v > min);
            return ok ? std::string() : "expected a number " + bound + ", not \"" + text + "\"";
        },
        inclusive ? "NUMBER>=" + std::to_string(static_cast<long>(min))
                  : "NUMBER>" + std::to_string(static_cast<long>(min)));
}

// One of the words `choices`, or of `unlisted` (accepted, not shown: a second spelling).
inline CLI::Validator oneOf(const std::vector<std::string>& choices, const std::vector<std::string>& unlisted = {}) {
    std::string list, shown;
    for (const std::string& c : choices) {
        list += (list.empty() ? "\"" : ", \"") + c + "\"";
        shown += (shown.empty() ? "" : "|") + c;
    }
    return CLI::Validator(
        [choices, unlisted, list](std::string& text) {
            for (const auto* words : {&choices, &unlisted})
                for (const std::string& c : *words)
                    if (text == c) return std::string();
            return "expected one of " + list + ", not \"" + text + "\"";
        },
        "{" + shown + "}");
}

}  // namespace cli

#endif
