#include "record/svg.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>

#include "record/summary.h"

namespace strikewell {
namespace {

// The plot area inside the 800 x 400 picture; the margins hold title, legend and axes.
constexpr int64_t kLeft = 70, kRight = 770, kTop = 60, kBottom = 340;
constexpr const char* kHandColour = "#c0392b";
constexpr const char* kBackColour = "#2471a3";

std::string Num(int64_t v) { return std::to_string(v); }

// The smallest of 1, 2, 5, 10, 20, 50, ... that splits span into at most max_steps.
int64_t NiceStep(int64_t span, int64_t max_steps) {
  for (int64_t decade = 1;; decade *= 10) {
    for (const int64_t step : {decade, 2 * decade, 5 * decade}) {
      if (span <= step * max_steps) return step;
    }
  }
}

int64_t FloorTo(int64_t v, int64_t step) { return (v / step - (v % step < 0 ? 1 : 0)) * step; }

struct Axes {
  int64_t first_blow, last_blow, low_ms, high_ms, ms_step;
  // Twice the blow index, so that a zeroing can sit half-way between two blows.
  int64_t X2(int64_t twice_index) const {
    const int64_t span = 2 * (last_blow - first_blow);
    return kLeft + ((twice_index - 2 * first_blow) * (kRight - kLeft) + span / 2) / span;
  }
  int64_t Y(double ms) const {
    return kBottom - std::llround((ms - static_cast<double>(low_ms)) * (kBottom - kTop) /
                                  static_cast<double>(high_ms - low_ms));
  }
};

std::string Line(int64_t x1, int64_t y1, int64_t x2, int64_t y2, const std::string& style) {
  return "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" +
         Num(y2) + "\" " + style + "/>\n";
}

std::string Text(int64_t x, int64_t y, const std::string& attributes, const std::string& text) {
  return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\"" +
         (attributes.empty() ? "" : " " + attributes) + ">" + text + "</text>\n";
}

bool IsStamp(const std::string& stamp) {
  if (stamp.size() != 15) return false;
  for (size_t k = 0; k < stamp.size(); ++k) {
    if (k == 8 ? stamp[k] != '-' : (stamp[k] < '0' || stamp[k] > '9')) return false;
  }
  const int month = std::stoi(stamp.substr(4, 2));
  return month >= 1 && month <= 12;
}

std::string Title(const std::string& stamp, int32_t blows) {
  static constexpr std::array<const char*, 12> kMonths = {
      "January", "February", "March",     "April",   "May",      "June",
      "July",    "August",   "September", "October", "November", "December"};
  std::string title = "Practice";
  if (IsStamp(stamp)) {
    const int month = std::stoi(stamp.substr(4, 2));
    title += " of " + Num(std::stoi(stamp.substr(6, 2))) + " " + kMonths[month - 1] + " " +
             stamp.substr(0, 4) + " at " + stamp.substr(9, 2) + ":" + stamp.substr(11, 2);
  }
  return title + ", " + Num(blows) + (blows == 1 ? " blow" : " blows");
}

}  // namespace

std::string StampOfFileName(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const std::string prefix = "strikewell-";
  if (!name.starts_with(prefix)) return "";
  const std::string stamp = name.substr(prefix.size(), 15);
  return IsStamp(stamp) ? stamp : "";
}

std::string PracticeSvg(const PracticeRecord& record, const std::string& stamp) {
  const PracticeFigures f = Figures(record);
  Axes a{1, std::max<int64_t>(f.blows, 2), 0, 1000, 200};
  if (!f.intervals.empty()) {
    const auto [low, high] =
        std::minmax_element(f.intervals.begin(), f.intervals.end(),
                            [](const Interval& x, const Interval& y) { return x.ms < y.ms; });
    // Steps of 20 ms at the finest; a quarter of a step's room at least, so that no point
    // sits on the frame.
    a.ms_step = NiceStep(std::max<int64_t>(high->ms - low->ms, 100), 8);
    const int64_t room = a.ms_step / 4;
    a.low_ms = FloorTo(low->ms - room, a.ms_step);
    a.high_ms = FloorTo(high->ms + room + a.ms_step - 1, a.ms_step);
  }

  std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"400\" "
      "viewBox=\"0 0 800 400\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"800\" height=\"400\" fill=\"white\"/>\n";
  svg += Text(400, 26, "font-size=\"18\" text-anchor=\"middle\"", Title(stamp, f.blows));

  // Legend.
  svg += Line(kLeft, 44, kLeft + 24, 44,
              "stroke=\"" + std::string(kHandColour) + "\" stroke-width=\"2\"");
  svg += Text(kLeft + 30, 48, "", "Handstroke gap (back to hand)");
  svg += Line(kLeft + 230, 44, kLeft + 254, 44,
              "stroke=\"" + std::string(kBackColour) + "\" stroke-width=\"2\"");
  svg += Text(kLeft + 260, 48, "", "Backstroke gap (hand to back)");
  svg += Line(kLeft + 460, 44, kLeft + 484, 44, "stroke=\"black\" stroke-dasharray=\"6,4\"");
  svg += Text(kLeft + 490, 48, "", "mean");

  // Axes, ticks and grid.
  for (int64_t ms = a.low_ms; ms <= a.high_ms; ms += a.ms_step) {
    const int64_t y = a.Y(static_cast<double>(ms));
    svg += Line(kLeft, y, kRight, y, "stroke=\"#e0e0e0\"");
    svg += Line(kLeft - 5, y, kLeft, y, "stroke=\"black\"");
    svg += Text(kLeft - 8, y + 4, "text-anchor=\"end\"", Num(ms));
  }
  const int64_t blow_step = NiceStep(a.last_blow - a.first_blow, 10);
  for (int64_t blow = blow_step; blow <= a.last_blow; blow += blow_step) {
    const int64_t x = a.X2(2 * blow);
    svg += Line(x, kBottom, x, kBottom + 5, "stroke=\"black\"");
    svg += Text(x, kBottom + 18, "text-anchor=\"middle\"", Num(blow));
  }
  svg += Line(kLeft, kTop, kLeft, kBottom, "stroke=\"black\"");
  svg += Line(kLeft, kBottom, kRight, kBottom, "stroke=\"black\"");
  svg += Text((kLeft + kRight) / 2, 385, "text-anchor=\"middle\"",
              "blow (counted on through zeroings)");
  svg += Text(18, (kTop + kBottom) / 2, "text-anchor=\"middle\" transform=\"rotate(-90 18 200)\"",
              "interval (ms)");

  for (const int32_t start : f.piece_starts) {
    const int64_t x = a.X2(2 * start - 1);
    svg += Line(x, kTop, x, kBottom, "stroke=\"#808080\"");
    svg += Text(x + 3, kTop + 12, "fill=\"#808080\"", "zeroed");
  }

  // Each series joins its points within a piece, never across a zeroing.
  for (const bool hand : {true, false}) {
    const std::string colour = hand ? kHandColour : kBackColour;
    const GapFigures& gap = hand ? f.handstroke_gap : f.backstroke_gap;
    if (gap.count > 0) {
      const int64_t y = a.Y(gap.mean_ms);
      svg += Line(kLeft, y, kRight, y, "stroke=\"" + colour + "\" stroke-dasharray=\"6,4\"");
    }
    std::string points, dots;
    int32_t piece = 0;
    const auto end_piece = [&] {
      if (points.find(' ') != std::string::npos) {
        svg += "<polyline points=\"" + points + "\" fill=\"none\" stroke=\"" + colour + "\"/>\n";
      }
      points.clear();
    };
    for (const Interval& i : f.intervals) {
      if (i.back_to_hand != hand) continue;
      if (i.piece != piece) end_piece();
      piece = i.piece;
      const std::string x = Num(a.X2(2 * i.index)), y = Num(a.Y(static_cast<double>(i.ms)));
      points += (points.empty() ? "" : " ") + x + "," + y;
      dots += "<circle cx=\"" + x + "\" cy=\"" + y + "\" r=\"3\" fill=\"" + colour + "\"/>\n";
    }
    end_piece();
    svg += dots;
  }
  return svg + "</svg>\n";
}

}  // namespace strikewell
