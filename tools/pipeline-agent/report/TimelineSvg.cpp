#include "report/TimelineSvg.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "base/AgentError.h"
#include "base/InputRules.h"
#include "outputs/OutputFile.h"
#include "report/TimelineScale.h"
#include "report/TraceTimeline.h"

using nlohmann::json;

namespace {

constexpr double kWidth = 1000;
constexpr double kLeft = 120;  // room for the row names
constexpr double kRight = 30;
constexpr double kRowHeight = 22;
constexpr double kRowGap = 6;
constexpr double kRowsTop = 84;
constexpr double kPlotWidth = kWidth - kLeft - kRight;

// A bar is at least this wide, in pixels, so that the shortest phase shows;
// its figure's characters are taken to be this wide.
constexpr double kMinBarWidth = 3;
constexpr double kFigureCharWidth = 5.5;

// Text as SVG's text and attributes take it.
std::string escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// The SVG's spelling of a number.
std::string number(double value) { return shortNumber(value); }

// The agent's phases keep their colours; any other name gets one of a few
// more, the same for the same name.
const char* colourOf(const std::string& name) {
    static const std::map<std::string, const char*> kKnown = {
        {"set-up", "#4e79a7"}, {"pause", "#f28e2b"},       {"data", "#59a14f"},
        {"close", "#e15759"},  {"open", "#76b7b2"},        {"seek", "#edc948"},
        {"read", "#b07aa1"},   {"closing wait", "#ff9da7"}};
    static const char* const kOthers[] = {"#9c755f", "#bab0ac", "#86bcb6", "#d37295"};
    const auto known = kKnown.find(name);
    if (known != kKnown.end()) return known->second;
    return kOthers[std::hash<std::string>{}(name) % 4];
}

// A phase's name in the legend and the tooltips.
std::string legendText(const std::string& name, const std::string& category) {
    if (name == "pause" && category == "backup") return "pause (the mandated 2 s)";
    return name;
}

// Where the picture puts a time, and how tall it is.
struct Layout {
    double first = 0;  // the time at the plot's left edge
    double span = 1;   // the time across the plot, at least 1 µs
    double rowsBottom = 0;
    double height = 0;

    double x(double t) const { return kLeft + (t - first) / span * kPlotWidth; }
};

Layout layoutOf(const Timeline& timeline) {
    Layout layout;
    layout.first = timeline.first;
    layout.span = std::max(timeline.last - timeline.first, 1.0);
    layout.rowsBottom =
        kRowsTop + static_cast<double>(timeline.rows.size()) * (kRowHeight + kRowGap);
    layout.height = layout.rowsBottom + 50;
    return layout;
}

// "Timeline of backup job 7: 3 streams, 2.5 s": the processes drawn, each
// once, by name (else "process PID"), the rows and the span.
std::string titleOf(const Timeline& timeline, double span) {
    std::string processes;
    std::set<std::string> titled;
    for (const TimelineRow& row : timeline.rows) {
        const auto named = timeline.processNames.find(row.pid);
        const std::string process = named != timeline.processNames.end() && !named->second.empty()
                                        ? named->second
                                        : "process " + row.pid;
        if (titled.insert(process).second) processes += (processes.empty() ? "" : ", ") + process;
    }
    const std::size_t rows = timeline.rows.size();
    return "Timeline of " + processes + ": " + std::to_string(rows) +
           (rows == 1 ? " stream, " : " streams, ") + tickLabel(span, span);
}

// The document's start: its size, title and white background.
std::string headerSvg(const std::string& title, double height) {
    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kWidth) + "\" height=\"" +
           number(height) + "\" viewBox=\"0 0 " + number(kWidth) + " " + number(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<title>" + escape(title) + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    svg += "<text class=\"title\" x=\"" + number(kLeft) +
           "\" y=\"26\" font-size=\"16\" font-weight=\"bold\">" + escape(title) + "</text>\n";
    return svg;
}

// A swatch and a name for each phase, left to right.
std::string legendSvg(const std::vector<std::pair<std::string, std::string>>& legend) {
    std::string svg = "<g class=\"legend\">\n";
    double legendX = kLeft;
    for (const auto& [name, category] : legend) {
        const std::string text = legendText(name, category);
        svg += "<rect x=\"" + number(legendX) + "\" y=\"44\" width=\"12\" height=\"12\" fill=\"" +
               colourOf(name) + "\"/>";
        svg += "<text x=\"" + number(legendX + 16) + "\" y=\"54\">" + escape(text) + "</text>\n";
        legendX += 16 + 7.0 * static_cast<double>(text.size()) + 18;
    }
    return svg + "</g>\n";
}

// The time axis under the rows, with a grid line, a tick and a label at
// each step; drawn before the bars, so under them.
std::string axisSvg(const Layout& layout) {
    const double step = tickStep(layout.span);
    const double bottom = layout.rowsBottom;
    std::string svg = "<g class=\"axis\">\n";
    svg += "<line x1=\"" + number(kLeft) + "\" y1=\"" + number(bottom) + "\" x2=\"" +
           number(kLeft + kPlotWidth) + "\" y2=\"" + number(bottom) + "\" stroke=\"#333333\"/>\n";
    // Counted, not summed, so that a step lost in a large span's rounding
    // cannot keep the loop going.
    const auto ticks = static_cast<long>(std::floor(layout.span / step * 1.0000001));
    for (long i = 0; i <= ticks; ++i) {
        const double tick = static_cast<double>(i) * step;
        const double tx = layout.x(layout.first + tick);
        svg += "<line x1=\"" + number(tx) + "\" y1=\"" + number(kRowsTop - 4) + "\" x2=\"" +
               number(tx) + "\" y2=\"" + number(bottom) + "\" stroke=\"#e0e0e0\"/>";
        svg += "<line x1=\"" + number(tx) + "\" y1=\"" + number(bottom) + "\" x2=\"" + number(tx) +
               "\" y2=\"" + number(bottom + 5) + "\" stroke=\"#333333\"/>";
        svg += "<text class=\"tick\" x=\"" + number(tx) + "\" y=\"" + number(bottom + 18) +
               "\" text-anchor=\"middle\">" + escape(tickLabel(tick, step)) + "</text>\n";
    }
    svg += "<text x=\"" + number(kLeft + kPlotWidth / 2) + "\" y=\"" + number(bottom + 38) +
           "\" text-anchor=\"middle\">time since the job began</text>\n";
    return svg + "</g>\n";
}

// A row's name: its thread's, else "thread TID"; with several processes
// drawn, after its process's.
std::string rowLabel(const Timeline& timeline, const TimelineRow& row, bool severalProcesses) {
    std::string label = row.label.empty() ? "thread " + row.tid : row.label;
    if (severalProcesses) {
        const auto named = timeline.processNames.find(row.pid);
        label = (named != timeline.processNames.end() ? named->second : "process " + row.pid) +
                ": " + label;
    }
    return label;
}

// A phase's bar, wide enough to be seen however short the phase, with a
// tooltip saying what, when and how long.
std::string barSvg(const std::string& label, const TimelineBar& bar, const Layout& layout,
                   double rowY, double width) {
    return "<rect class=\"phase\" data-phase=\"" + escape(bar.name) + "\" x=\"" +
           number(layout.x(bar.start)) + "\" y=\"" + number(rowY) + "\" width=\"" + number(width) +
           "\" height=\"" + number(kRowHeight) + "\" fill=\"" + colourOf(bar.name) + "\"><title>" +
           escape(label + ": " + legendText(bar.name, bar.category) + " from " +
                  tickLabel(bar.start - layout.first, 1e3) + " for " +
                  tickLabel(bar.duration, 1e3) + bar.detail) +
           "</title></rect>\n";
}

// A phase's length as text: in its bar where it fits, else just after it
// when the next bar (at next) leaves room, else nothing (the tooltip has
// it).
std::string figureSvg(const TimelineBar& bar, const Layout& layout, double rowY, double width,
                      double next) {
    const std::string figure = durationText(bar.duration);
    const double textWidth = kFigureCharWidth * static_cast<double>(figure.size()) + 4;
    const double barX = layout.x(bar.start);
    double textX = -1;
    std::string anchor = "middle";
    if (width >= textWidth) {
        textX = barX + width / 2;
    } else if (next - (barX + width) >= textWidth + 2) {
        textX = barX + width + 2;
        anchor = "start";
    }
    if (textX < 0) return "";
    return "<text class=\"figure\" x=\"" + number(textX) + "\" y=\"" +
           number(rowY + kRowHeight / 2 + 3) + "\" font-size=\"9\" text-anchor=\"" + anchor +
           "\">" + escape(figure) + "</text>\n";
}

// A stream's row at rowY: its name on the left, then its bars and figures.
std::string rowSvg(const TimelineRow& row, const std::string& label, const Layout& layout,
                   double rowY) {
    std::string svg = "<g class=\"stream-row\" data-name=\"" + escape(label) + "\">\n";
    svg += "<text x=\"" + number(kLeft - 8) + "\" y=\"" + number(rowY + kRowHeight / 2 + 4) +
           "\" text-anchor=\"end\">" + escape(label) + "</text>\n";
    for (std::size_t i = 0; i < row.bars.size(); ++i) {
        const TimelineBar& bar = row.bars[i];
        const double width = std::max(bar.duration / layout.span * kPlotWidth, kMinBarWidth);
        const double next =
            i + 1 < row.bars.size() ? layout.x(row.bars[i + 1].start) : kWidth - kRight;
        svg += barSvg(label, bar, layout, rowY, width);
        svg += figureSvg(bar, layout, rowY, width, next);
    }
    return svg + "</g>\n";
}

}  // namespace

std::string timelineSvg(const json& trace) {
    const Timeline timeline = readTimeline(trace);
    const Layout layout = layoutOf(timeline);
    std::string svg = headerSvg(titleOf(timeline, layout.span), layout.height);
    svg += legendSvg(timeline.legend);
    svg += axisSvg(layout);
    const bool severalProcesses = timeline.rows.front().pid != timeline.rows.back().pid;
    double rowY = kRowsTop;
    for (const TimelineRow& row : timeline.rows) {
        svg += rowSvg(row, rowLabel(timeline, row, severalProcesses), layout, rowY);
        rowY += kRowHeight + kRowGap;
    }
    svg += "</svg>\n";
    return svg;
}

void drawTimeline(const std::string& tracePath, const std::string& svgPath) {
    requireReadableFile(tracePath, "trace");
    requireNewFilePlace(svgPath, "SVG", false);
    std::ifstream in(tracePath);
    if (!in) throw badInput("cannot read trace " + tracePath);
    std::string svg;
    try {
        svg = timelineSvg(json::parse(in));
    } catch (const json::exception& error) {
        throw badInput("trace " + tracePath + " is not JSON: " + error.what());
    } catch (const std::invalid_argument& error) {
        throw badInput("trace " + tracePath +
                       " is not a trace of the Chrome trace-event format: " + error.what());
    }
    OutputFile file(svgPath, OutputFile::Options{});
    file.append(svg);
    file.commit();
}
