#include "report/TimelineSvg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "base/AgentError.h"
#include "base/InputRules.h"
#include "outputs/OutputFile.h"

using nlohmann::json;

namespace {

constexpr double kWidth = 1000;
constexpr double kLeft = 120;  // room for the row names
constexpr double kRight = 30;
constexpr double kRowHeight = 22;
constexpr double kRowGap = 6;
constexpr double kRowsTop = 84;

struct Bar {
    std::string name;
    std::string category;
    double start = 0;  // microseconds
    double duration = 0;
    std::string detail;  // shown in the bar's tooltip
};

struct Row {
    std::string label;
    double order = 0;
    std::vector<Bar> bars;
};

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

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    std::string out = text;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out;
}

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

std::string legendText(const std::string& name, const std::string& category) {
    if (name == "pause" && category == "backup") return "pause (the mandated 2 s)";
    return name;
}

// A step of 1, 2 or 5 times a power of ten, for about eight ticks.
double tickStep(double span) {
    const double raw = span / 8;
    const double magnitude = std::pow(10, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (factor * magnitude >= raw) return factor * magnitude;
    }
    return 10 * magnitude;
}

// A bar is at least this wide, in pixels, so that the shortest phase shows;
// its figure's characters are taken to be this wide.
constexpr double kMinBarWidth = 3;
constexpr double kFigureCharWidth = 5.5;

// A phase's length for its figure: "2.00 s", "12.5 ms", "800 µs".
std::string durationText(double microseconds) {
    char text[32];
    if (microseconds >= 1e6) std::snprintf(text, sizeof text, "%.2f s", microseconds / 1e6);
    else if (microseconds >= 1e3) std::snprintf(text, sizeof text, "%.1f ms", microseconds / 1e3);
    else std::snprintf(text, sizeof text, "%.0f \xC2\xB5s", microseconds);
    return text;
}

std::string tickLabel(double microseconds, double step) {
    if (step >= 1e6) return number(microseconds / 1e6) + " s";
    if (step >= 1e3) return number(microseconds / 1e3) + " ms";
    return number(microseconds) + " \xC2\xB5s";
}

const json& eventsOf(const json& trace) {
    if (trace.is_array()) return trace;
    if (trace.is_object()) {
        const auto events = trace.find("traceEvents");
        if (events != trace.end() && events->is_array()) return *events;
    }
    throw std::invalid_argument("it has no traceEvents list");
}

std::string stringField(const json& event, const char* key) {
    const auto found = event.find(key);
    return found != event.end() && found->is_string() ? found->get<std::string>() : "";
}

// A pid or tid: a number or a string, as the format allows.
std::string idField(const json& event, const char* key) {
    const auto found = event.find(key);
    if (found == event.end()) return "";
    if (found->is_number_integer()) return std::to_string(found->get<long long>());
    if (found->is_string()) return found->get<std::string>();
    return found->dump();
}

}  // namespace

std::string timelineSvg(const json& trace) {
    const json& events = eventsOf(trace);
    std::map<std::string, std::string> processNames;
    std::map<std::pair<std::string, std::string>, Row> rows;  // by (pid, tid)
    std::vector<std::pair<std::string, std::string>> legend;  // (name, category), first seen
    std::set<std::string> inLegend;
    double first = INFINITY, last = -INFINITY;
    std::size_t index = 0;
    for (const json& event : events) {
        ++index;
        if (!event.is_object()) {
            throw std::invalid_argument("event " + std::to_string(index) + " is not an object");
        }
        const std::string phase = stringField(event, "ph");
        const std::string pid = idField(event, "pid");
        const std::string tid = idField(event, "tid");
        const std::string name = stringField(event, "name");
        const auto args = event.find("args");
        if (phase == "M") {
            if (args == event.end() || !args->is_object()) continue;
            if (name == "process_name") processNames[pid] = stringField(*args, "name");
            if (name == "thread_name") rows[{pid, tid}].label = stringField(*args, "name");
            const auto sort = args->find("sort_index");
            if (name == "thread_sort_index" && sort != args->end() && sort->is_number()) {
                rows[{pid, tid}].order = sort->get<double>();
            }
            continue;
        }
        if (phase != "X") continue;
        const auto ts = event.find("ts");
        const auto dur = event.find("dur");
        if (ts == event.end() || dur == event.end() || !ts->is_number() || !dur->is_number() ||
            !std::isfinite(ts->get<double>()) || !std::isfinite(dur->get<double>()) ||
            dur->get<double>() < 0) {
            throw std::invalid_argument("event " + std::to_string(index) +
                                        " is a complete event without numbers ts and dur >= 0");
        }
        Bar bar;
        bar.name = name.empty() ? "?" : name;
        bar.category = stringField(event, "cat");
        bar.start = ts->get<double>();
        bar.duration = dur->get<double>();
        if (args != event.end() && args->is_object()) {
            const auto bytes = args->find("bytes");
            if (bytes != args->end() && bytes->is_number_unsigned()) {
                bar.detail = ", " + std::to_string(bytes->get<unsigned long long>()) + " bytes";
            }
        }
        first = std::min(first, bar.start);
        last = std::max(last, bar.start + bar.duration);
        if (inLegend.insert(bar.name).second) legend.emplace_back(bar.name, bar.category);
        Row& row = rows[{pid, tid}];
        if (row.label.empty() && row.bars.empty() && row.order == 0) {
            row.order = tid.empty() ? 0 : std::atof(tid.c_str());
        }
        row.bars.push_back(bar);
    }
    std::vector<std::pair<std::pair<std::string, std::string>, Row*>> drawn;
    for (auto& [key, row] : rows) {
        if (!row.bars.empty()) drawn.emplace_back(key, &row);
    }
    if (drawn.empty()) throw std::invalid_argument("it holds no complete events to draw");
    std::stable_sort(drawn.begin(), drawn.end(), [](const auto& a, const auto& b) {
        if (a.first.first != b.first.first) return a.first.first < b.first.first;
        return a.second->order < b.second->order;
    });
    const bool severalProcesses = drawn.front().first.first != drawn.back().first.first;

    std::string title;
    std::set<std::string> titled;
    for (const auto& [key, row] : drawn) {
        const auto named = processNames.find(key.first);
        const std::string process = named != processNames.end() && !named->second.empty()
                                        ? named->second
                                        : "process " + key.first;
        if (titled.insert(process).second) title += (title.empty() ? "" : ", ") + process;
    }
    if (!std::isfinite(last - first)) {
        throw std::invalid_argument("its events span more time than can be drawn");
    }
    const double span = std::max(last - first, 1.0);
    title = "Timeline of " + title + ": " + std::to_string(drawn.size()) +
            (drawn.size() == 1 ? " stream, " : " streams, ") + tickLabel(span, span);

    const double plotWidth = kWidth - kLeft - kRight;
    const auto x = [&](double t) { return kLeft + (t - first) / span * plotWidth; };
    const double rowsBottom = kRowsTop + static_cast<double>(drawn.size()) * (kRowHeight + kRowGap);
    const double height = rowsBottom + 50;

    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kWidth) + "\" height=\"" +
           number(height) + "\" viewBox=\"0 0 " + number(kWidth) + " " + number(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<title>" + escape(title) + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    svg += "<text class=\"title\" x=\"" + number(kLeft) +
           "\" y=\"26\" font-size=\"16\" font-weight=\"bold\">" + escape(title) + "</text>\n";

    svg += "<g class=\"legend\">\n";
    double legendX = kLeft;
    for (const auto& [name, category] : legend) {
        const std::string text = legendText(name, category);
        svg += "<rect x=\"" + number(legendX) + "\" y=\"44\" width=\"12\" height=\"12\" fill=\"" +
               colourOf(name) + "\"/>";
        svg += "<text x=\"" + number(legendX + 16) + "\" y=\"54\">" + escape(text) + "</text>\n";
        legendX += 16 + 7.0 * static_cast<double>(text.size()) + 18;
    }
    svg += "</g>\n";

    // Grid lines and the axis, under the bars.
    const double step = tickStep(span);
    svg += "<g class=\"axis\">\n";
    svg += "<line x1=\"" + number(kLeft) + "\" y1=\"" + number(rowsBottom) + "\" x2=\"" +
           number(kLeft + plotWidth) + "\" y2=\"" + number(rowsBottom) +
           "\" stroke=\"#333333\"/>\n";
    // Counted, not summed, so that a step lost in a large span's rounding
    // cannot keep the loop going.
    const auto ticks = static_cast<long>(std::floor(span / step * 1.0000001));
    for (long i = 0; i <= ticks; ++i) {
        const double tick = static_cast<double>(i) * step;
        const double tx = x(first + tick);
        svg += "<line x1=\"" + number(tx) + "\" y1=\"" + number(kRowsTop - 4) + "\" x2=\"" +
               number(tx) + "\" y2=\"" + number(rowsBottom) + "\" stroke=\"#e0e0e0\"/>";
        svg += "<line x1=\"" + number(tx) + "\" y1=\"" + number(rowsBottom) + "\" x2=\"" +
               number(tx) + "\" y2=\"" + number(rowsBottom + 5) + "\" stroke=\"#333333\"/>";
        svg += "<text class=\"tick\" x=\"" + number(tx) + "\" y=\"" + number(rowsBottom + 18) +
               "\" text-anchor=\"middle\">" + escape(tickLabel(tick, step)) + "</text>\n";
    }
    svg += "<text x=\"" + number(kLeft + plotWidth / 2) + "\" y=\"" + number(rowsBottom + 38) +
           "\" text-anchor=\"middle\">time since the job began</text>\n";
    svg += "</g>\n";

    double rowY = kRowsTop;
    for (const auto& [key, row] : drawn) {
        std::string label = row->label.empty() ? "thread " + key.second : row->label;
        if (severalProcesses) {
            const auto named = processNames.find(key.first);
            label = (named != processNames.end() ? named->second : "process " + key.first) + ": " +
                    label;
        }
        svg += "<g class=\"stream-row\" data-name=\"" + escape(label) + "\">\n";
        svg += "<text x=\"" + number(kLeft - 8) + "\" y=\"" + number(rowY + kRowHeight / 2 + 4) +
               "\" text-anchor=\"end\">" + escape(label) + "</text>\n";
        for (std::size_t i = 0; i < row->bars.size(); ++i) {
            const Bar& bar = row->bars[i];
            // Wide enough to be seen, however short the phase.
            const double width = std::max(bar.duration / span * plotWidth, kMinBarWidth);
            svg += "<rect class=\"phase\" data-phase=\"" + escape(bar.name) + "\" x=\"" +
                   number(x(bar.start)) + "\" y=\"" + number(rowY) + "\" width=\"" + number(width) +
                   "\" height=\"" + number(kRowHeight) + "\" fill=\"" + colourOf(bar.name) +
                   "\"><title>" +
                   escape(label + ": " + legendText(bar.name, bar.category) + " from " +
                          tickLabel(bar.start - first, 1e3) + " for " +
                          tickLabel(bar.duration, 1e3) + bar.detail) +
                   "</title></rect>\n";
            // Its length as text: in the bar where it fits, else just after
            // it when the next bar leaves room; the tooltip has the rest.
            const std::string figure = durationText(bar.duration);
            const double textWidth = kFigureCharWidth * static_cast<double>(figure.size()) + 4;
            const double next = i + 1 < row->bars.size() ? x(row->bars[i + 1].start) : kWidth - kRight;
            double textX = -1;
            std::string anchor = "middle";
            if (width >= textWidth) {
                textX = x(bar.start) + width / 2;
            } else if (next - (x(bar.start) + width) >= textWidth + 2) {
                textX = x(bar.start) + width + 2;
                anchor = "start";
            }
            if (textX >= 0) {
                svg += "<text class=\"figure\" x=\"" + number(textX) + "\" y=\"" +
                       number(rowY + kRowHeight / 2 + 3) + "\" font-size=\"9\" text-anchor=\"" +
                       anchor + "\">" + escape(figure) + "</text>\n";
            }
        }
        svg += "</g>\n";
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
