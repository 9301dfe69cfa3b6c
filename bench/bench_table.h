// The rows of the benchmark table. Every benchmark program prints its results as rows of one
// table on standard output (bench/run.sh puts the heading above them) and its remarks on
// standard error: what was measured, on which side, the value, its ratio to the reference side,
// and the target it is held to with the verdict.
#pragma once

#include <cstdio>
#include <string>

namespace bench {

// A number with a fixed count of decimals.
inline std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// "0.83 x" - how the value compares with the row's reference.
inline std::string Times(double ratio) {
    return Fixed(ratio, 2) + " x";
}

// "+1.05 %" - how much a value exceeds its reference.
inline std::string Over(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f %%", (ratio - 1) * 100);
    return text;
}

struct TTarget {
    std::string text; // empty: the row has no target
    bool met = true;
};

inline TTarget Target(const std::string& text, bool met) {
    return {text, met};
}

inline void PrintRow(const std::string& measurement, const std::string& side,
                     const std::string& value, const std::string& ratio = "",
                     const TTarget& target = {}) {
    std::string verdict;
    if (!target.text.empty()) {
        verdict = target.text + (target.met ? "  met" : "  MISSED");
    }
    std::printf("%-33s %-18s %-12s %-10s %s\n", measurement.c_str(), side.c_str(), value.c_str(),
                ratio.c_str(), verdict.c_str());
    std::fflush(stdout);
}

// A side that could not be measured, and why.
inline void PrintSkipped(const std::string& measurement, const std::string& side,
                         const std::string& why) {
    PrintRow(measurement, side, "skipped", "", {});
    std::fprintf(stderr, "%s skipped: %s\n", side.c_str(), why.c_str());
    std::printf("%-33s %-18s (%s)\n", "", "", why.c_str());
}

} // namespace bench
