#include "report/Html.h"

#include "report/Canvas.h"
#include "report/Page.h"
#include "report/Plot.h"

#include <cstdio>
#include <variant>

namespace qd::report {

namespace {

constexpr double kFont = 12;

std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value + 0.0);
    return text;
}

std::string hex(unsigned colour) {
    char text[16]; // six digits for a colour, room for any unsigned
    std::snprintf(text, sizeof text, "%06x", colour);
    return text;
}

// SVG's units are CSS pixels, of which a point is 4/3.
constexpr double kPixelsPerPoint = 4.0 / 3.0;

std::string style(const Pen& pen) {
    std::string out = "stroke:#" + hex(pen.colour);
    if (pen.width > 0) {
        out += ";stroke-width:" + num(pen.width);
    }
    return pen.dashed ? out + ";stroke-dasharray:6 4" : out;
}

// The one canvas as SVG elements, appended to `out`.
class SvgCanvas final : public Canvas {
  public:
    explicit SvgCanvas(std::string& out) : out_(out) {}

    void line(Point from, Point to, const Pen& pen) override {
        out_ += "<line x1=\"" + num(from.first) + "\" y1=\"" + num(from.second) + "\" x2=\"" +
                num(to.first) + "\" y2=\"" + num(to.second) + "\" style=\"" + style(pen) + "\"/>";
    }
    void polyline(const std::vector<Point>& points, const Pen& pen) override {
        if (points.empty()) {
            return;
        }
        std::string at;
        for (const auto& [x, y] : points) {
            at += num(x) + "," + num(y) + " ";
        }
        out_ += "<polyline fill=\"none\" style=\"" + style(pen) + "\" points=\"" + at + "\"/>";
    }
    void stems(const std::vector<Point>& tops, double baseY, const Pen& pen) override {
        std::string path;
        for (const auto& [x, y] : tops) {
            path += "M" + num(x) + " " + num(baseY) + "V" + num(y);
        }
        if (!path.empty()) {
            out_ += "<path d=\"" + path + "\" style=\"" + style(pen) + "\"/>";
        }
    }
    void rect(const Box& box, const Pen& pen) override {
        out_ += "<rect x=\"" + num(box.left) + "\" y=\"" + num(box.top) + "\" width=\"" +
                num(box.width) + "\" height=\"" + num(box.height) + "\" style=\"fill:none;" +
                style(pen) + "\"/>";
    }
    void fill(const Box& box, unsigned colour) override {
        out_ += "<rect x=\"" + num(box.left) + "\" y=\"" + num(box.top) + "\" width=\"" +
                num(box.width) + "\" height=\"" + num(box.height) + "\" fill=\"#" + hex(colour) +
                "\"/>";
    }
    void text(double x, double y, const std::string& content, Anchor anchor, Level level,
              double points, unsigned colour) override {
        const double size = points * kPixelsPerPoint;
        // The middle of a line of text lies about a third of its size above
        // its baseline.
        const double baseline = level == Level::Middle ? y + size * 0.35 : y;
        const char* where = anchor == Anchor::Start    ? "start"
                            : anchor == Anchor::Middle ? "middle"
                                                       : "end";
        out_ += "<text x=\"" + num(x) + "\" y=\"" + num(baseline) + "\" text-anchor=\"" + where +
                "\" font-size=\"" + num(size) + "\"" +
                (colour != 0 ? " fill=\"#" + hex(colour) + "\"" : std::string()) + ">" +
                escaped(content) + "</text>";
    }
    // Widths are not known without the font: half its size a character.
    double textWidth(const std::string& content, double points) override {
        std::size_t characters = 0;
        for (const char c : content) {
            characters += (static_cast<unsigned char>(c) & 0xc0) != 0x80 ? 1 : 0;
        }
        return static_cast<double>(characters) * points * kPixelsPerPoint * 0.5;
    }
    // A nested viewport of the same coordinates shows only what falls in it.
    void clip(const Box& box) override {
        out_ += "<svg x=\"" + num(box.left) + "\" y=\"" + num(box.top) + "\" width=\"" +
                num(box.width) + "\" height=\"" + num(box.height) + "\" viewBox=\"" +
                num(box.left) + " " + num(box.top) + " " + num(box.width) + " " + num(box.height) +
                "\" overflow=\"hidden\">";
    }
    void unclip() override { out_ += "</svg>"; }

  private:
    std::string& out_;
};

std::string plotBody(const PlotData& plot, const Box& box) {
    std::string out;
    SvgCanvas canvas(out);
    drawPlot(canvas, plot, box, kFont);
    return out;
}

constexpr const char* kStyle =
    "@page { size: A4; margin: 12mm; }\n"
    "body { font-family: sans-serif; font-size: 10pt; max-width: 190mm; margin: 8mm auto; "
    "color: #111; }\n"
    "h1 { font-size: 15pt; margin: 0 0 4pt; }\n"
    ".verdict { display: inline-block; padding: 2pt 8pt; font-weight: bold; color: white; "
    "border-radius: 3pt; }\n"
    "footer { font-size: 8pt; color: #555; margin-top: 8pt; }\n"
    "table { border-collapse: collapse; margin: 6pt 0; }\n"
    "td, th { padding: 1.5pt 6pt; text-align: left; vertical-align: top; }\n"
    "th { border-bottom: 1px solid #888; }\n"
    "td.num { text-align: right; font-variant-numeric: tabular-nums; }\n"
    ".setup td:first-child { color: #555; }\n"
    ".columns { display: flex; gap: 10pt; }\n"
    ".notes { font-size: 8pt; color: #333; padding-left: 12pt; }\n"
    ".FAIL { color: #c62828; font-weight: bold; }\n";

// A cell's opening tag: the style sheet sets numbers right and styles a
// status by its own word (a FAIL in red); a label's grey is its rule for
// the set-up's first column.
std::string cellTag(Cell cell, const std::string& text) {
    switch (cell) {
    case Cell::Number:
        return "<td class=\"num\">";
    case Cell::Status:
        return "<td class=\"" + escaped(text) + "\">";
    case Cell::Label:
    case Cell::Text:
        break;
    }
    return "<td>";
}

// Each block of the page as HTML, appended to `out`.
class HtmlBlock {
  public:
    explicit HtmlBlock(std::string& out) : out_(out) {}

    void operator()(const Title& title) const { out_ += "<h1>" + escaped(title.text) + "</h1>\n"; }
    void operator()(const Verdict& verdict) const {
        out_ += "<p><span class=\"verdict\" style=\"background:#" +
                hex(verdictColour(verdict.verdict)) + "\">" + escaped(verdict.verdict) +
                "</span> " + escaped(verdict.reasons) + "</p>\n";
    }
    void operator()(const Table& table) const {
        out_ += "<table class=\"" + escaped(table.name) + "\">\n";
        if (table.headed) {
            out_ += "<tr>";
            for (const Column& column : table.columns) {
                out_ += "<th>" + escaped(column.heading) + "</th>";
            }
            out_ += "</tr>\n";
        }
        for (const auto& row : table.rows) {
            out_ += "<tr>";
            for (std::size_t i = 0; i < row.size() && i < table.columns.size(); ++i) {
                out_ += cellTag(table.columns[i].cell, row[i]) + escaped(row[i]) + "</td>";
            }
            out_ += "</tr>\n";
        }
        out_ += "</table>\n";
    }
    void operator()(const Figure& figure) const {
        out_ += "<div>" + svgPlot(*figure.plot, 700, 235) + "</div>\n";
    }
    void operator()(const Notes& notes) const {
        out_ += "<ul class=\"notes\">\n";
        for (const auto& line : notes.lines) {
            out_ += "<li>" + escaped(line) + "</li>\n";
        }
        out_ += "</ul>\n";
    }

  private:
    std::string& out_;
};

} // namespace

std::string svgPlot(const PlotData& plot, double width, double height) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" +
           num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) +
           "\" font-family=\"sans-serif\">" + plotBody(plot, {0, 0, width, height}) + "</svg>";
}

std::string svgDocument(const ReportData& data) {
    constexpr double width = kPlotWidth, each = kPlotHeight;
    const double height =
        each * static_cast<double>(data.plots.size()) +
        (data.caption.empty() ? 0 : kCaptionLine * static_cast<double>(data.caption.size() + 1));
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      num(width) + "\" height=\"" + num(height) + "\" viewBox=\"0 0 " + num(width) +
                      " " + num(height) +
                      "\" font-family=\"sans-serif\"><rect width=\"100%\" height=\"100%\" "
                      "fill=\"white\"/>";
    double top = 0;
    for (const PlotData& plot : data.plots) {
        out += plotBody(plot, {0, top, width, each});
        top += each;
    }
    // Fixed pitch, spaces kept: the caption's columns are aligned with them.
    for (const auto& caption : data.caption) {
        top += kCaptionLine;
        out += "<text x=\"" + num(kCaptionLine) + "\" y=\"" + num(top) +
               "\" font-family=\"monospace\" xml:space=\"preserve\" font-size=\"" + num(kFont) +
               "\">" + escaped(caption) + "</text>";
    }
    return out + "</svg>\n";
}

std::string htmlPage(const ReportData& data) {
    const Page page = reportPage(data);
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
                      escaped(page.title) + "</title>\n<style>\n" + kStyle +
                      "</style></head>\n<body>\n";
    for (const Block& block : page.blocks) {
        std::visit(HtmlBlock{out}, block);
    }
    if (!page.footer.empty()) {
        out += "<footer>" + escaped(page.footer) + "</footer>\n";
    }
    return out + "</body></html>\n";
}

} // namespace qd::report
