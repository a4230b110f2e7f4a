#pragma once

#include <string>

// How the timeline picture writes its numbers and times. Pure functions,
// for any thread.

// A number with at most two decimals and no trailing zeros: "2", "2.5",
// "0.25"; for the SVG's coordinates and the axis's labels.
std::string shortNumber(double value);

// The step between the time axis's ticks for a span of microseconds: 1, 2
// or 5 times a power of ten, for about eight ticks.
double tickStep(double span);

// A time in microseconds in the unit of step (s from a second on, ms from a
// millisecond on, else µs): "1.5 s", "250 ms", "800 µs".
std::string tickLabel(double microseconds, double step);

// A phase's length for the figure on its bar, in the unit that fits it:
// "2.00 s", "12.5 ms", "800 µs".
std::string durationText(double microseconds);
