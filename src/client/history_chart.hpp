// Pictures of the history: the charge over a time with the power drawn
// beneath and marks for plugging in, unplugging, sleeping and the
// low-battery action; as text for a terminal, a mail or a bug report, and as
// one self-contained SVG image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/history.hpp"

namespace kestro {

// The time drawn, in Unix seconds: from `start` to `end`.
struct ChartWindow {
    std::int64_t start = 0;
    std::int64_t end = 0;
};

// The picture as plain ASCII text, `width` columns wide (at least 40): a
// header with the window's local times, eleven rows of charge ("*" at the
// mean charge of each column's time, from 100% down to 0%), a row of marks
// ("+" plugged in, "-" unplugged, "z" asleep, "!" the low-battery action,
// the later mark winning), four rows of power ("#" drawn from the battery,
// "=" while charging, scaled to the highest column in whole watts), the time
// axis with local times and a legend; then a line for each sleep, "Asleep
// 07 Dec 02:00 to 04:00, 2 h: 60.0% to 58.0% (1.00% an hour)", and each
// low-battery action, "Low-battery action hibernate 07 Dec 14:05 at 4.5%";
// no blank at the end of a line. A column without samples (the
// machine asleep or off) stays empty. No escape sequences: the same text on
// a terminal and in a file.
[[nodiscard]] std::string history_text_chart(const std::vector<HistoryRecord>& records, ChartWindow window,
                                             int width);

// The same picture as one SVG document, with nothing outside it: the charge
// line (broken where samples are more than five minutes apart), the power
// line beneath, the sleeps as shaded spans, plug, unplug and action marks,
// and axes with percent, watts and local times.
[[nodiscard]] std::string history_svg(const std::vector<HistoryRecord>& records, ChartWindow window);

}  // namespace kestro
