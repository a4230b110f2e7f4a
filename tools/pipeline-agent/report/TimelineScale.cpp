#include "report/TimelineScale.h"

#include <cmath>
#include <cstdio>

std::string shortNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    std::string out = text;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out;
}

double tickStep(double span) {
    const double raw = span / 8;
    const double magnitude = std::pow(10, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (factor * magnitude >= raw) return factor * magnitude;
    }
    return 10 * magnitude;
}

std::string tickLabel(double microseconds, double step) {
    if (step >= 1e6) return shortNumber(microseconds / 1e6) + " s";
    if (step >= 1e3) return shortNumber(microseconds / 1e3) + " ms";
    return shortNumber(microseconds) + " \xC2\xB5s";
}

std::string durationText(double microseconds) {
    char text[32];
    if (microseconds >= 1e6)
        std::snprintf(text, sizeof text, "%.2f s", microseconds / 1e6);
    else if (microseconds >= 1e3)
        std::snprintf(text, sizeof text, "%.1f ms", microseconds / 1e3);
    else
        std::snprintf(text, sizeof text, "%.0f \xC2\xB5s", microseconds);
    return text;
}
