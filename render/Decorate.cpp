// Scale bar and legend in a 5 x 7 bitmap font: enough for numbers, units and class names, with
// no font file to find at run time.
#include "render/Decorate.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace orv::render {
namespace {

constexpr int kGlyphW = 5, kGlyphH = 7;

struct Glyph {
    char c;
    uint8_t rows[kGlyphH];  // bit 4 is the leftmost column
};

// Upper case only: lower-case text is drawn in capitals.
constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
    {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}},
};

const Glyph* glyphOf(char c) {
    const char up = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const Glyph& g : kFont)
        if (g.c == up) return &g;
    return nullptr;  // a space, or a character the font lacks: left blank
}

// Draws on the picture, clipping everything to it.
class Canvas {
public:
    explicit Canvas(RenderImage& image)
        : m_image(image), m_scale(std::max(1, std::min(image.width, image.height) / 500)) {}
    int scale() const { return m_scale; }
    int textWidth(const std::string& text) const {
        return static_cast<int>(text.size()) * (kGlyphW + 1) * m_scale;
    }
    int lineHeight() const { return (kGlyphH + 3) * m_scale; }

    void fill(int x, int y, int w, int h, const uint8_t rgb[3], double alpha = 1.0) {
        const int x0 = std::max(0, x), y0 = std::max(0, y);
        const int x1 = std::min(m_image.width, x + w), y1 = std::min(m_image.height, y + h);
        for (int row = y0; row < y1; ++row)
            for (int col = x0; col < x1; ++col) {
                uint8_t* p = &m_image.rgb[(static_cast<size_t>(row) * m_image.width + col) * 3];
                for (int k = 0; k < 3; ++k)
                    p[k] = static_cast<uint8_t>(std::lround(p[k] * (1 - alpha) + rgb[k] * alpha));
            }
    }
    void text(int x, int y, const std::string& text, const uint8_t rgb[3]) {
        for (char c : text) {
            if (const Glyph* g = glyphOf(c))
                for (int r = 0; r < kGlyphH; ++r)
                    for (int col = 0; col < kGlyphW; ++col)
                        if (g->rows[r] & (0x10 >> col))
                            fill(x + col * m_scale, y + r * m_scale, m_scale, m_scale, rgb);
            x += (kGlyphW + 1) * m_scale;
        }
    }

private:
    RenderImage& m_image;
    int m_scale;  // font pixels per glyph pixel: larger pictures get larger marks
};

constexpr uint8_t kInk[3] = {20, 20, 20};
constexpr uint8_t kPaper[3] = {255, 255, 255};
constexpr double kPaperAlpha = 0.8;

std::string number(double value) {
    char b[32];
    const double a = std::fabs(value);
    std::snprintf(b, sizeof b,
                  a >= 100 || a == std::floor(a) ? "%.0f"
                  : a >= 1                       ? "%.1f"
                                                 : "%.3g",
                  value);
    return b;
}

void scaleBar(Canvas& c, const RenderImage& image, const char* units) {
    const int s = c.scale();
    const double length = niceLength(image.width * image.cell / 5);
    const int bar = static_cast<int>(std::lround(length / image.cell));
    if (bar < 2 || !std::isfinite(length)) return;
    const std::string label = number(length) + (*units ? " " : "") + units;
    const int pad = 4 * s, h = c.lineHeight() + 4 * s;
    const int w = std::max(bar, c.textWidth(label)) + 2 * pad;
    const int x = pad, y = image.height - h - 2 * pad;
    c.fill(x, y, w, h + pad, kPaper, kPaperAlpha);
    c.text(x + pad, y + pad, label, kInk);
    const int barY = y + pad + c.lineHeight();
    c.fill(x + pad, barY, bar, 2 * s, kInk);
    c.fill(x + pad, barY - 2 * s, s, 4 * s, kInk);
    c.fill(x + pad + bar - s, barY - 2 * s, s, 4 * s, kInk);
}

void legendBox(Canvas& c, const RenderImage& image, const Legend& legend) {
    const int s = c.scale(), pad = 4 * s, line = c.lineHeight(), swatch = 8 * s;
    if (legend.ramp != Legend::Ramp::kNone) {
        const int rampH = std::min(image.height / 3, 100 * s);
        int textW = std::max(c.textWidth(legend.low), c.textWidth(legend.high));
        const int w = std::max(c.textWidth(legend.title), swatch * 2 + pad + textW) + 2 * pad;
        const int h = line + rampH + 2 * pad;
        const int x = image.width - w - pad, y = pad;
        c.fill(x, y, w, h, kPaper, kPaperAlpha);
        c.text(x + pad, y + pad, legend.title, kInk);
        const int top = y + pad + line;
        for (int r = 0; r < rampH; ++r) {
            const double t = 1.0 - static_cast<double>(r) / std::max(1, rampH - 1);
            uint8_t rgb[3];
            if (legend.ramp == Legend::Ramp::kGrey)
                rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(std::lround(t * 255));
            else
                renderRamp(t, rgb);
            c.fill(x + pad, top + r, swatch * 2, 1, rgb);
        }
        c.text(x + 2 * pad + swatch * 2, top, legend.high, kInk);
        c.text(x + 2 * pad + swatch * 2, top + rampH - line + 3 * s, legend.low, kInk);
        return;
    }
    if (legend.entries.empty()) return;
    int textW = c.textWidth(legend.title);
    for (const LegendEntry& e : legend.entries)
        textW = std::max(textW, swatch + pad + c.textWidth(e.text));
    const int w = textW + 2 * pad;
    const int h = line * static_cast<int>(legend.entries.size() + 1) + 2 * pad;
    const int x = image.width - w - pad, y = pad;
    c.fill(x, y, w, h, kPaper, kPaperAlpha);
    c.text(x + pad, y + pad, legend.title, kInk);
    int rowY = y + pad + line;
    for (const LegendEntry& e : legend.entries) {
        c.fill(x + pad, rowY, swatch, swatch, e.rgb);
        c.text(x + 2 * pad + swatch, rowY, e.text, kInk);
        rowY += line;
    }
}

}  // namespace

double niceLength(double target) {
    if (!(target > 0) || !std::isfinite(target)) return 0;
    const double power = std::pow(10.0, std::floor(std::log10(target)));
    for (double step : {5.0, 2.0, 1.0})
        if (step * power <= target) return step * power;
    return power;
}

void decorate(RenderImage& image, const Legend& legend, const char* units) {
    Canvas c(image);
    scaleBar(c, image, units);
    legendBox(c, image, legend);
}

}  // namespace orv::render
