#include "client/history_chart.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>
#include <string_view>

#include "base/number_format.hpp"

namespace kestro {

namespace {

constexpr int charge_rows = 11;  // 100%, 90% ... 0%
constexpr int power_rows = 4;
constexpr std::size_t gutter = 6;  // a label of five and "|"

[[nodiscard]] std::tm local_parts(std::int64_t time) {
    const std::time_t seconds = time;
    std::tm parts{};
    localtime_r(&seconds, &parts);
    return parts;
}

[[nodiscard]] std::string local_text(std::int64_t time, const char* form) {
    const std::tm parts = local_parts(time);
    char text[64];
    return {text, std::strftime(text, sizeof text, form, &parts)};
}

struct Tick {
    std::int64_t time;
    std::string label;
};

// Times on the axis at a round local step ("06:00", "07 Dec"), at most
// `most` of them.
[[nodiscard]] std::vector<Tick> time_ticks(ChartWindow window, std::int64_t most) {
    constexpr std::array<std::int64_t, 12> steps = {900,   1800,   3600,   7200,   10800,  21600,
                                                    43200, 86400, 172800, 604800, 1209600, 2592000};
    const std::int64_t span = std::max<std::int64_t>(window.end - window.start, 1);
    std::int64_t step = steps.back();
    for (const std::int64_t candidate : steps) {
        if (span / candidate <= most) {
            step = candidate;
            break;
        }
    }
    const std::int64_t offset = local_parts(window.start).tm_gmtoff;
    std::vector<Tick> ticks;
    const std::int64_t first = ((window.start + offset + step - 1) / step) * step - offset;
    for (std::int64_t time = first; time <= window.end; time += step) {
        ticks.push_back({time, local_text(time, step < 86400 ? "%H:%M" : "%d %b")});
    }
    return ticks;
}

// What the columns (or points) of a picture show at a time.
struct Column {
    double percent_sum = 0;
    int percent_count = 0;
    double power_sum = 0;
    int power_count = 0;
    bool charging = false;
    char mark = ' ';
};

[[nodiscard]] std::size_t column_of(std::int64_t time, ChartWindow window, std::size_t columns) {
    const std::int64_t span = std::max<std::int64_t>(window.end - window.start, 1);
    const std::int64_t column = (time - window.start) * static_cast<std::int64_t>(columns) / span;
    return static_cast<std::size_t>(std::clamp<std::int64_t>(column, 0, static_cast<std::int64_t>(columns) - 1));
}

[[nodiscard]] bool in_window(const HistoryRecord& record, ChartWindow window) {
    return record.time >= window.start && record.time <= window.end;
}

// The mark of an event record, none for the others.
[[nodiscard]] char mark_of(const HistoryRecord& record) {
    if (record.is("E", "ac")) {
        const auto ac = record.field("ac");
        return *ac == "D" ? '-' : *ac == "-" ? ' ' : '+';
    }
    return record.is("E", "action") ? '!' : ' ';
}

[[nodiscard]] std::vector<Column> fill_columns(const std::vector<HistoryRecord>& records, ChartWindow window,
                                               std::size_t count) {
    std::vector<Column> columns(count);
    for (const HistoryRecord& record : records) {
        if (!in_window(record, window)) {
            continue;
        }
        Column& column = columns[column_of(record.time, window, count)];
        if (record.is("S")) {
            if (const auto percent = record.number("percent")) {
                column.percent_sum += std::clamp(*percent, 0.0, 100.0);
                ++column.percent_count;
            }
            if (const auto power = record.number("power")) {
                column.power_sum += *power / 1000;
                ++column.power_count;
            }
            column.charging = record.field("battery") == "C";
        } else if (record.is("E", "sleep")) {
            const auto asleep = record.number("asleep_seconds").value_or(0);
            const std::int64_t from = std::max(window.start, record.time - static_cast<std::int64_t>(asleep));
            for (std::size_t c = column_of(from, window, count); c <= column_of(record.time, window, count); ++c) {
                columns[c].mark = 'z';
            }
        } else if (const char mark = mark_of(record); mark != ' ') {
            column.mark = mark;
        }
    }
    return columns;
}

[[nodiscard]] std::string right_aligned(std::string_view text, std::size_t width) {
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + std::string(text);
}

[[nodiscard]] std::string without_trailing_blanks(std::string_view text) {
    std::string out;
    for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n')) {
        const std::string_view line = text.substr(0, end);
        out += line.substr(0, line.find_last_not_of(' ') + 1);
        out += '\n';
        text.remove_prefix(end + 1);
    }
    return out;
}

[[nodiscard]] double mean_power(const Column& column) {
    return column.power_count > 0 ? column.power_sum / column.power_count : 0;
}

[[nodiscard]] std::string window_header(ChartWindow window) {
    return "Charge and power from " + local_text(window.start, "%Y-%m-%d %H:%M") + " to " +
           local_text(window.end, "%Y-%m-%d %H:%M %Z") + "\n";
}

// One line for each sleep and low-battery action of the window, with the
// charge lost in the sleep an hour: what a report of a drain asks for.
[[nodiscard]] std::string event_lines(const std::vector<HistoryRecord>& records, ChartWindow window) {
    std::string out;
    for (const HistoryRecord& record : records) {
        if (!in_window(record, window)) {
            continue;
        }
        if (record.is("E", "sleep")) {
            const double asleep = record.number("asleep_seconds").value_or(0);
            const auto before = record.number("percent_before");
            const auto after = record.number("percent_after");
            out += "Asleep " + local_text(record.time - static_cast<std::int64_t>(asleep), "%d %b %H:%M") + " to " +
                   local_text(record.time, "%H:%M") + ", " + std::string(format_duration(asleep).view());
            if (before && after) {
                out += ": " + std::string(format_fixed(*before, 1).view()) + "% to " +
                       std::string(format_fixed(*after, 1).view()) + "%";
                if (asleep > 0) {
                    out += " (" + std::string(format_fixed((*before - *after) / asleep * 3600, 2).view()) +
                           "% an hour)";
                }
            }
            out += '\n';
        } else if (record.is("E", "action")) {
            const auto percent = record.number("percent");
            out += "Low-battery action " + std::string(*record.field("action")) + " " +
                   local_text(record.time, "%d %b %H:%M") +
                   (percent ? " at " + std::string(format_fixed(*percent, 1).view()) + "%" : "") + "\n";
        }
    }
    return out;
}

}  // namespace

std::string history_text_chart(const std::vector<HistoryRecord>& records, ChartWindow window, int width) {
    const std::size_t plot = static_cast<std::size_t>(std::max(width, 40)) - gutter;
    const std::vector<Column> columns = fill_columns(records, window, plot);
    std::string out = window_header(window);
    for (int row = 0; row < charge_rows; ++row) {
        const char* label = row == 0 ? "100%" : row == charge_rows / 2 ? "50%" : row == charge_rows - 1 ? "0%" : "";
        out += right_aligned(label, gutter - 1) + "|";
        for (const Column& column : columns) {
            const double mean = column.percent_count > 0 ? column.percent_sum / column.percent_count : -1;
            out += mean >= 0 && std::lround((100 - mean) / 10) == row ? '*' : ' ';
        }
        out += '\n';
    }
    out += std::string(gutter - 1, ' ') + "|";
    for (const Column& column : columns) {
        out += column.mark;
    }
    out += '\n';
    double highest = 0;
    for (const Column& column : columns) {
        highest = std::max(highest, mean_power(column));
    }
    const double scale = std::max(1.0, std::ceil(highest));
    for (int row = 0; row < power_rows; ++row) {
        const std::string label = row == 0 ? std::string(format_shortest(scale).view()) + " W" : "";
        out += right_aligned(label, gutter - 1) + "|";
        for (const Column& column : columns) {
            const double height = std::ceil(mean_power(column) / scale * power_rows);
            out += height >= power_rows - row ? (column.charging ? '=' : '#') : ' ';
        }
        out += '\n';
    }
    const std::vector<Tick> ticks = time_ticks(window, static_cast<std::int64_t>(plot / 9));
    std::string axis(plot, '-');
    std::string labels(plot, ' ');
    std::size_t free_from = 0;
    for (const Tick& tick : ticks) {
        const std::size_t column = column_of(tick.time, window, plot);
        axis[column] = '+';
        // A label at the right edge ends there, so that the picture keeps its width.
        const std::size_t from = std::min(column, plot - tick.label.size());
        if (from >= free_from) {
            labels.replace(from, tick.label.size(), tick.label);
            free_from = from + tick.label.size() + 1;
        }
    }
    out += std::string(gutter - 1, ' ') + "+" + axis + "\n" + std::string(gutter, ' ') + labels + "\n";
    out += "* charge  # draw  = charging  + plug  - unplug  z asleep  ! low-battery action\n";
    out += event_lines(records, window);
    return without_trailing_blanks(out);
}

namespace {

// The plot area of the SVG picture, in its units.
constexpr double left = 60, right = 780, charge_top = 40, charge_bottom = 215, power_top = 245,
                 power_bottom = 315;

[[nodiscard]] std::string coordinate(double value) {
    return std::string(format_fixed(value, 1).view());
}

[[nodiscard]] double x_of(std::int64_t time, ChartWindow window) {
    const double span = static_cast<double>(std::max<std::int64_t>(window.end - window.start, 1));
    return left + (right - left) * static_cast<double>(time - window.start) / span;
}

void append_text(std::string& out, double x, double y, std::string_view anchor, std::string_view text) {
    out += "<text x=\"" + coordinate(x) + "\" y=\"" + coordinate(y) + "\" text-anchor=\"";
    out += anchor;
    out += "\">";
    out += text;
    out += "</text>\n";
}

void append_line(std::string& out, double x1, double y1, double x2, double y2, std::string_view style) {
    out += "<line x1=\"" + coordinate(x1) + "\" y1=\"" + coordinate(y1) + "\" x2=\"" + coordinate(x2) +
           "\" y2=\"" + coordinate(y2) + "\" ";
    out += style;
    out += "/>\n";
}

// A path through the samples' values, broken where they are more than five
// minutes apart or unknown.
void append_sample_path(std::string& out, const std::vector<HistoryRecord>& records, ChartWindow window,
                        std::string_view field, double top, double bottom, double highest,
                        std::string_view stroke) {
    out += "<path fill=\"none\" stroke-width=\"2\" stroke-linecap=\"round\" stroke=\"";
    out += stroke;
    out += "\" d=\"";
    std::int64_t previous = 0;
    bool drawing = false;
    for (const HistoryRecord& record : records) {
        if (!record.is("S") || !in_window(record, window)) {
            continue;
        }
        const auto value = record.number(field);
        if (!value) {
            drawing = false;
            continue;
        }
        const double y = bottom - (bottom - top) * std::clamp(*value / highest, 0.0, 1.0);
        const bool joined = drawing && record.time - previous <= 300;
        // A sample alone is a dot: a line of no length with round caps.
        out += (joined ? "L" : "M") + coordinate(x_of(record.time, window)) + "," + coordinate(y) +
               (joined ? " " : " l0,0 ");
        previous = record.time;
        drawing = true;
    }
    out += "\"/>\n";
}

}  // namespace

std::string history_svg(const std::vector<HistoryRecord>& records, ChartWindow window) {
    double highest = 1000;  // mW: at least one watt at the top
    for (const HistoryRecord& record : records) {
        if (record.is("S") && in_window(record, window)) {
            highest = std::max(highest, record.number("power").value_or(0));
        }
    }
    highest = std::ceil(highest / 1000) * 1000;
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"360\" viewBox=\"0 0 800 360\" "
        "font-family=\"sans-serif\" font-size=\"11\">\n"
        "<title>kestro history</title>\n"
        "<rect width=\"800\" height=\"360\" fill=\"white\"/>\n";
    std::string title = window_header(window);
    title.pop_back();  // its newline
    append_text(out, left, 20, "start", title);
    for (const HistoryRecord& record : records) {
        if (record.is("E", "sleep") && in_window(record, window)) {
            const auto asleep = static_cast<std::int64_t>(record.number("asleep_seconds").value_or(0));
            const double from = x_of(std::max(window.start, record.time - asleep), window);
            out += "<rect x=\"" + coordinate(from) + "\" y=\"" + coordinate(charge_top) + "\" width=\"" +
                   coordinate(x_of(record.time, window) - from) + "\" height=\"" +
                   coordinate(power_bottom - charge_top) + "\" fill=\"#dde\"><title>asleep " +
                   std::string(format_duration(static_cast<double>(asleep)).view()) + "</title></rect>\n";
        }
    }
    for (const int percent : {0, 50, 100}) {
        const double y = charge_bottom - (charge_bottom - charge_top) * percent / 100;
        append_line(out, left, y, right, y, "stroke=\"#ccc\"");
        append_text(out, left - 6, y + 4, "end", std::string(format_integer(std::int64_t{percent}).view()) + "%");
    }
    append_line(out, left, power_bottom, right, power_bottom, "stroke=\"#999\"");
    append_text(out, left - 6, power_top + 4, "end", std::string(format_shortest(highest / 1000).view()) + " W");
    append_sample_path(out, records, window, "percent", charge_top, charge_bottom, 100, "#1a7f37");
    append_sample_path(out, records, window, "power", power_top, power_bottom, highest, "#c2410c");
    for (const HistoryRecord& record : records) {
        const char mark = mark_of(record);
        if (mark == ' ' || !in_window(record, window)) {
            continue;
        }
        const double x = x_of(record.time, window);
        append_line(out, x, charge_top, x, power_bottom,
                    mark == '!' ? "stroke=\"#d00\" stroke-width=\"2\"" : "stroke=\"#36c\" stroke-dasharray=\"3,3\"");
        append_text(out, x, charge_top - 4, "middle", mark == '+' ? "plug" : mark == '-' ? "unplug" : "action");
    }
    for (const Tick& tick : time_ticks(window, 8)) {
        const double x = x_of(tick.time, window);
        append_line(out, x, power_bottom, x, power_bottom + 5, "stroke=\"#999\"");
        append_text(out, x, power_bottom + 18, "middle", tick.label);
    }
    append_text(out, left, 350, "start", "charge (green), power (orange), asleep (shaded)");
    out += "</svg>\n";
    return out;
}

}  // namespace kestro
