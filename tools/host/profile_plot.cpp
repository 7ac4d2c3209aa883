#include "host/profile_plot.h"

#include <cairo.h>
#include <fmt/format.h>
#include <fontconfig/fontconfig.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/output_file.h"

namespace qx318::host {
namespace {

// The plot area inside the picture: room on the left for the y numbers and
// below for the x numbers and the axis name.
constexpr double kLeft = 80;
constexpr double kRight = 30;
constexpr double kTop = 50;
constexpr double kBottom = 60;
constexpr int kWantedTicks = 10;
// Points are drawn while they stay apart; a dense profile reads as a line.
constexpr size_t kMostPointsDrawn = 300;

struct Range {
  double low = 0;
  double high = 1;
};

struct Rgb {
  double r, g, b;
};
constexpr Rgb kBackground{1, 1, 1};
constexpr Rgb kGrid{0.88, 0.88, 0.88};
constexpr Rgb kInk{0.1, 0.1, 0.1};
constexpr Rgb kProfile{0.12, 0.38, 0.80};

struct SurfaceDeleter {
  void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t *c) const { cairo_destroy(c); }
};

void SetColour(cairo_t *cr, Rgb c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

// A step of 1, 2 or 5 times a power of ten that cuts the range into about
// kWantedTicks pieces.
double TickStep(const Range &range) {
  const double rough = (range.high - range.low) / kWantedTicks;
  const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
  for (const double factor : {1.0, 2.0, 5.0}) {
    if (factor * magnitude >= rough) return factor * magnitude;
  }
  return 10 * magnitude;
}

// The data's range widened to whole ticks, never empty.
Range AxisRange(double low, double high) {
  if (high - low < 1) {
    low -= 1;
    high += 1;
  }
  Range range{low, high};
  const double step = TickStep(range);
  return Range{std::floor(low / step) * step, std::ceil(high / step) * step};
}

struct Frame {
  Range x, y;
  double width, height;  // of the picture
  double ToX(double v) const {
    return kLeft + (v - x.low) / (x.high - x.low) * (width - kLeft - kRight);
  }
  double ToY(double v) const {
    return height - kBottom - (v - y.low) / (y.high - y.low) * (height - kTop - kBottom);
  }
};

void ShowTextAt(cairo_t *cr, const std::string &text, double x, double y, double align_x,
                double align_y) {
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  cairo_move_to(cr, x - extents.width * align_x - extents.x_bearing,
                y - extents.height * align_y - extents.y_bearing);
  cairo_show_text(cr, text.c_str());
}

std::string TickLabel(double value) { return fmt::format("{:.0f}", value); }

void DrawGridAndTicks(cairo_t *cr, const Frame &f) {
  cairo_set_font_size(cr, 12);
  cairo_set_line_width(cr, 1);
  const double x_step = TickStep(f.x);
  for (double v = f.x.low; v <= f.x.high + x_step / 2; v += x_step) {
    const double px = std::round(f.ToX(v)) + 0.5;
    SetColour(cr, kGrid);
    cairo_move_to(cr, px, kTop);
    cairo_line_to(cr, px, f.height - kBottom);
    cairo_stroke(cr);
    SetColour(cr, kInk);
    cairo_move_to(cr, px, f.height - kBottom);
    cairo_line_to(cr, px, f.height - kBottom + 5);
    cairo_stroke(cr);
    ShowTextAt(cr, TickLabel(v), px, f.height - kBottom + 9, 0.5, 0);
  }
  const double y_step = TickStep(f.y);
  for (double v = f.y.low; v <= f.y.high + y_step / 2; v += y_step) {
    const double py = std::round(f.ToY(v)) + 0.5;
    SetColour(cr, kGrid);
    cairo_move_to(cr, kLeft, py);
    cairo_line_to(cr, f.width - kRight, py);
    cairo_stroke(cr);
    SetColour(cr, kInk);
    cairo_move_to(cr, kLeft - 5, py);
    cairo_line_to(cr, kLeft, py);
    cairo_stroke(cr);
    ShowTextAt(cr, TickLabel(v), kLeft - 9, py, 1, 0.5);
  }
  SetColour(cr, kInk);
  cairo_rectangle(cr, kLeft + 0.5, kTop + 0.5, f.width - kLeft - kRight, f.height - kTop - kBottom);
  cairo_stroke(cr);
}

void DrawAxisNames(cairo_t *cr, const Frame &f) {
  cairo_set_font_size(cr, 13);
  SetColour(cr, kInk);
  ShowTextAt(cr, "first value", kLeft + (f.width - kLeft - kRight) / 2, f.height - 22, 0.5, 0);
  cairo_save(cr);
  cairo_translate(cr, 18, kTop + (f.height - kTop - kBottom) / 2);
  cairo_rotate(cr, -M_PI / 2);
  ShowTextAt(cr, "second value", 0, 0, 0.5, 0.5);
  cairo_restore(cr);
}

void DrawTitle(cairo_t *cr, const ProfilePlot &plot, double width) {
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 16);
  SetColour(cr, kInk);
  const std::string number =
      plot.sequence == 0 ? std::string() : fmt::format("measurement {}, ", plot.sequence);
  ShowTextAt(cr,
             fmt::format("address {}: {}{} pairs, {}", plot.address, number, plot.pairs.size(),
                         plot.time_utc),
             width / 2, 16, 0.5, 0);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
}

void DrawProfile(cairo_t *cr, const ProfilePlot &plot, const Frame &f) {
  cairo_save(cr);
  cairo_rectangle(cr, kLeft, kTop, f.width - kLeft - kRight, f.height - kTop - kBottom);
  cairo_clip(cr);
  SetColour(cr, kProfile);
  cairo_set_line_width(cr, 2);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  for (size_t k = 0; k < plot.pairs.size(); ++k) {
    const double px = f.ToX(plot.pairs[k].first);
    const double py = f.ToY(plot.pairs[k].second);
    if (k == 0) {
      cairo_move_to(cr, px, py);
    } else {
      cairo_line_to(cr, px, py);
    }
  }
  cairo_stroke(cr);
  if (plot.pairs.size() <= kMostPointsDrawn) {
    for (const auto &[first, second] : plot.pairs) {
      cairo_arc(cr, f.ToX(first), f.ToY(second), 3, 0, 2 * M_PI);
      cairo_fill(cr);
    }
  }
  cairo_restore(cr);
}

Frame FrameFor(const ProfilePlot &plot) {
  Frame f{};
  f.width = kPlotWidth;
  f.height = kPlotHeight;
  if (plot.pairs.empty()) {
    f.x = AxisRange(0, 16383);
    f.y = AxisRange(0, 16383);
    return f;
  }
  const auto [x_low, x_high] =
      std::minmax_element(plot.pairs.begin(), plot.pairs.end(),
                          [](const auto &a, const auto &b) { return a.first < b.first; });
  const auto [y_low, y_high] =
      std::minmax_element(plot.pairs.begin(), plot.pairs.end(),
                          [](const auto &a, const auto &b) { return a.second < b.second; });
  f.x = AxisRange(x_low->first, x_high->first);
  f.y = AxisRange(y_low->second, y_high->second);
  return f;
}

void Draw(cairo_t *cr, const ProfilePlot &plot) {
  const Frame f = FrameFor(plot);
  SetColour(cr, kBackground);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  DrawTitle(cr, plot, f.width);
  DrawGridAndTicks(cr, f);
  DrawAxisNames(cr, f);
  if (plot.pairs.empty()) {
    cairo_set_font_size(cr, 16);
    ShowTextAt(cr, "no pairs in this measurement", f.width / 2, f.height / 2, 0.5, 0.5);
    return;
  }
  DrawProfile(cr, plot, f);
}

// cairo's PNG writer hands over the encoded bytes piece by piece.
cairo_status_t WriteToFile(void *file, const unsigned char *data, unsigned int length) {
  return std::fwrite(data, 1, length, static_cast<std::FILE *>(file)) == length
             ? CAIRO_STATUS_SUCCESS
             : CAIRO_STATUS_WRITE_ERROR;
}

}  // namespace

bool ProfilePlotBuiltIn() { return true; }

bool WriteProfilePlot(const std::string &path, const ProfilePlot &plot, std::string *error) {
  std::unique_ptr<cairo_surface_t, SurfaceDeleter> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPlotWidth, kPlotHeight));
  std::unique_ptr<cairo_t, ContextDeleter> cr(cairo_create(surface.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
    *error =
        fmt::format("cannot draw the plot: {}", cairo_status_to_string(cairo_status(cr.get())));
    return false;
  }
  Draw(cr.get(), plot);
  cairo_surface_flush(surface.get());
  tools::ReplacingFile file(path);
  if (!file.ok()) {
    *error = file.error();
    return false;
  }
  const cairo_status_t written =
      cairo_surface_write_to_png_stream(surface.get(), WriteToFile, file.get());
  if (written != CAIRO_STATUS_SUCCESS) {
    *error = fmt::format("cannot write {}: {}", path, cairo_status_to_string(written));
    return false;
  }
  if (!file.Commit()) {
    *error = file.error();
    return false;
  }
  return true;
}

void ReleasePlotCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}

}  // namespace qx318::host
