#include "report/Html.h"

#include "report/Plot.h"

#include <cstdio>

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
    char text[8];
    std::snprintf(text, sizeof text, "%06x", colour);
    return text;
}

std::string stroke(unsigned colour, double width) {
    char style[48];
    std::snprintf(style, sizeof style, "stroke:#%s;stroke-width:%.2f", hex(colour).c_str(),
                  width * kFont);
    return style;
}

std::string line(double x1, double y1, double x2, double y2, const std::string& style) {
    return "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" +
           num(y2) + "\" style=\"" + style + "\"/>";
}

std::string text(double x, double y, const std::string& content, const char* anchor,
                 double size = kFont) {
    return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"" + anchor +
           "\" font-size=\"" + num(size) + "\">" + escaped(content) + "</text>";
}

std::string polyline(const PlotFrame& f, const Points& points, const std::string& style) {
    if (points.empty()) {
        return "";
    }
    std::string at;
    for (const auto& [code, value] : points) {
        at += num(f.x(code)) + "," + num(f.y(value)) + " ";
    }
    return "<polyline fill=\"none\" style=\"" + style + "\" points=\"" + at + "\"/>";
}

std::string stems(const PlotFrame& f, const Points& points, const std::string& style) {
    std::string path;
    for (const auto& [code, value] : points) {
        path += "M" + num(f.x(code)) + " " + num(f.zeroY) + "V" + num(f.y(value));
    }
    return path.empty() ? "" : "<path d=\"" + path + "\" style=\"" + style + "\"/>";
}

std::string plotBody(const PlotData& plot, const Box& box) {
    const PlotFrame f = frameOf(plot, box, kFont);
    std::string out = text(f.area.left, box.top + kFont * 1.1, plot.title, "start", kFont * 1.1);
    for (const Tick& t : f.yTicks) {
        out += line(f.area.left, t.at, f.area.left + f.area.width, t.at, "stroke:#ddd");
        out += text(f.area.left - 4, t.at + kFont * 0.35, t.label, "end");
    }
    for (const Tick& t : f.xTicks) {
        out += line(t.at, f.area.top, t.at, f.area.top + f.area.height, "stroke:#eee");
        out += text(t.at, f.area.top + f.area.height + kFont * 1.2, t.label, "middle");
    }
    if (f.zeroInside) {
        out += line(f.area.left, f.zeroY, f.area.left + f.area.width, f.zeroY, "stroke:#888");
    }
    out += "<rect x=\"" + num(f.area.left) + "\" y=\"" + num(f.area.top) + "\" width=\"" +
           num(f.area.width) + "\" height=\"" + num(f.area.height) +
           "\" style=\"fill:none;stroke:#444\"/>";
    const std::string first = stroke(kFirstColour, kFirstWidth);
    for (const double limit : plot.limits) {
        out += line(f.area.left, f.y(limit), f.area.left + f.area.width, f.y(limit),
                    stroke(kLimitColour, kLimitWidth) + ";stroke-dasharray:6 4");
    }
    for (const Points& other : plot.others) {
        out += polyline(f, other, stroke(kOthersColour, kSecondWidth));
    }
    out += polyline(f, plot.second, stroke(kSecondColour, kSecondWidth));
    out += plot.stems ? stems(f, plot.points, first) : polyline(f, plot.points, first);
    // The legend on the title's line, from the right: a stroke, its name.
    // Text widths are not known here; half a font size a character is.
    double right = f.area.left + f.area.width;
    const auto legend = legendOf(plot);
    for (auto entry = legend.rbegin(); entry != legend.rend(); ++entry) {
        const double textWidth = static_cast<double>(entry->name.size()) * kFont * 0.5;
        const double y = box.top + kFont * 0.7;
        out += text(right, box.top + kFont * 1.1, entry->name, "end");
        out += line(right - textWidth - kFont * 2.4, y, right - textWidth - kFont * 0.4, y,
                    stroke(entry->colour, entry->width * 1.5) +
                        (entry->dashed ? ";stroke-dasharray:6 4" : ""));
        right -= textWidth + kFont * 3.4;
    }
    out += text(f.area.left + f.area.width / 2, box.top + box.height - kFont * 0.3, plot.xName,
                "middle");
    out += text(box.left + kFont, f.area.top - kFont * 0.5, plot.yLabel, "start");
    return out;
}

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
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
        escaped(data.title) +
        "</title>\n<style>\n"
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
        ".FAIL { color: #c62828; font-weight: bold; }\n"
        "</style></head>\n<body>\n<h1>" +
        escaped(data.title) + "</h1>\n<p><span class=\"verdict\" style=\"background:#" +
        hex(verdictColour(data.verdict)) + "\">" + escaped(data.verdict) + "</span> " +
        escaped(data.reasons) + "</p>\n<table class=\"setup\">\n";
    for (const auto& [label, value] : data.setup) {
        out += "<tr><td>" + escaped(label) + "</td><td>" + escaped(value) + "</td></tr>\n";
    }
    out += "</table>\n<table class=\"figures\">\n<tr>";
    for (std::size_t i = 0; i < 7; ++i) {
        out += "<th>" + escaped(headingOf(data, i)) + "</th>";
    }
    out += "</tr>\n";
    for (const FigureRow& row : data.figures) {
        out += "<tr><td>" + escaped(row.name) + "</td><td class=\"num\">" + escaped(row.value) +
               "</td><td class=\"num\">" + escaped(row.uncertainty) + "</td><td>" +
               escaped(row.unit) + "</td><td>" + escaped(row.where) + "</td><td>" +
               escaped(row.limit) + "</td><td class=\"" + escaped(row.status) + "\">" +
               escaped(row.status) + "</td></tr>\n";
    }
    out += "</table>\n";
    for (const PlotData& plot : data.plots) {
        out += "<div>" + svgPlot(plot, 700, 235) + "</div>\n";
    }
    out += "<ul class=\"notes\">\n";
    for (const auto& note : data.notes) {
        out += "<li>" + escaped(note) + "</li>\n";
    }
    out += "</ul>\n";
    if (!data.footer.empty()) {
        out += "<footer>" + escaped(data.footer) + "</footer>\n";
    }
    return out + "</body></html>\n";
}

} // namespace qd::report
