// Where a plot's scales and labels go, for every picture the renderer
// draws: round values, both ends of each axis labelled, no labels on top of
// each other, every point inside.

#include "report/Html.h"
#include "report/Plot.h"

#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace qd::report;

namespace {

Points line(double from, double to, double low, double high) {
    return {{from, low}, {(from + to) / 2, (low + high) / 2}, {to, high}};
}

} // namespace

TEST(PlotFrame, RoundScalesWithBothEndsLabelled) {
    struct Case {
        const char* what;
        PlotData plot;
        const char* firstCode;
        const char* lastCode;
        bool symmetric;
    };
    PlotData output = plotOf("output", "V", 0, 0xFFF, line(0, 0xFFF, 0, 4.9288));
    output.symmetric = false;
    PlotData offset = plotOf("offset output", "V", 0, 0xFFFF, line(0, 0xFFFF, 1.17, 3.9));
    offset.symmetric = false;
    PlotData zeros = plotOf("no error", "counts", 0x10, 0x3F0, line(0x10, 0x3F0, 0, 0));
    zeros.smallestScale = 1;
    const Case cases[] = {
        {"a 12-bit output from 0 V", output, "0000", "0FFF", false},
        {"a 16-bit output away from 0 V", offset, "0000", "FFFF", false},
        {"a 16-bit INL over the fit range",
         plotOf("INL", "LSB", 0x200, 0xFE00, line(0x200, 0xFE00, -0.7, 1.3)), "0200", "FE00", true},
        {"an error of zeros", zeros, "0010", "03F0", true},
    };
    constexpr double font = 12;
    for (const Case& c : cases) {
        const PlotFrame f = frameOf(c.plot, {0, 0, 900, 360}, font);
        ASSERT_GE(f.xTicks.size(), 2u) << c.what;
        EXPECT_EQ(f.xTicks.front().label, c.firstCode) << c.what;
        EXPECT_EQ(f.xTicks.back().label, c.lastCode) << c.what;
        for (std::size_t i = 1; i < f.xTicks.size(); ++i) {
            EXPECT_GE(f.xTicks[i].at - f.xTicks[i - 1].at, 3 * font)
                << c.what << ": " << f.xTicks[i - 1].label << " and " << f.xTicks[i].label;
        }
        ASSERT_GE(f.yTicks.size(), 3u) << c.what;
        const double bottom = std::stod(f.yTicks.front().label);
        const double top = std::stod(f.yTicks.back().label);
        const double step = std::stod(f.yTicks[1].label) - bottom;
        for (std::size_t i = 0; i < f.yTicks.size(); ++i) {
            const double value = std::stod(f.yTicks[i].label);
            EXPECT_NEAR(value, bottom + static_cast<double>(i) * step, step * 1e-6)
                << c.what << ": tick " << f.yTicks[i].label;
            const double multiple = value / step;
            EXPECT_NEAR(multiple, std::round(multiple), 1e-6)
                << c.what << ": " << f.yTicks[i].label << " is no round value";
        }
        for (const auto& [code, value] : c.plot.points) {
            EXPECT_TRUE(bottom <= value && value <= top)
                << c.what << ": " << value << " outside " << bottom << " to " << top;
        }
        if (c.symmetric) {
            EXPECT_DOUBLE_EQ(bottom, -top) << c.what;
        }
    }
}

TEST(PlotLegend, NamesEachSeriesThatIsDrawn) {
    PlotData plot = plotOf("INL", "LSB", 0, 0xFF, line(0, 0xFF, -1, 1));
    plot.name = "best fit";
    plot.secondName = "endpoint";
    plot.second = line(0, 0xFF, -2, 2);
    const std::string svg = svgPlot(plot, 700, 235);
    for (const char* name : {">best fit<", ">endpoint<"}) {
        EXPECT_NE(svg.find(name), std::string::npos) << name;
    }
    plot.second.clear();
    EXPECT_EQ(svgPlot(plot, 700, 235).find(">endpoint<"), std::string::npos)
        << "a series with no points has no legend entry";
}

// Every text the run hands over reaches the page, escaped: a label, a
// cell or a note that is dropped or written raw is named.
TEST(HtmlPage, ShowsEveryTextEscaped) {
    ReportData data;
    data.title = "<title&>";
    data.verdict = "<verdict&>";
    data.reasons = "<reasons&>";
    data.setup = {{"<label&>", "<setting&>"}};
    data.headings = {"<heading&>"};
    data.figures = {
        {"<name&>", "<value&>", "<uncertainty&>", "<unit&>", "<where&>", "<limit&>", "<status&>"}};
    data.plots = {plotOf("<plot&>", "LSB", 0, 0xFF, line(0, 0xFF, -1, 1))};
    data.notes = {"<note&>"};
    data.footer = "<footer&>";
    const std::string page = htmlPage(data);
    for (const char* text :
         {"title", "verdict", "reasons", "label", "setting", "heading", "name", "value",
          "uncertainty", "unit", "where", "limit", "status", "plot", "note", "footer"}) {
        const std::string raw = std::string("<") + text + "&>";
        EXPECT_EQ(page.find(raw), std::string::npos) << text << " written raw";
        EXPECT_NE(page.find("&lt;" + std::string(text) + "&amp;&gt;"), std::string::npos)
            << text << " not on the page";
    }
}

// A series is not drawn across codes never measured (a run cut short), and
// the thinner series lies over the thicker, so that neither hides the other
// where they agree.
TEST(PlotSeries, BrokenAtGapsWithTheThinnerOnTop) {
    PlotData plot = plotOf("INL", "LSB", 0, 0xFFFF, {{0, 0}, {0x7CC, 0.5}, {0x8000, 1.5}});
    plot.second = {{0, 0}, {0x7CC, 0.5}, {0x8000, 1.5}};
    plot.gaps = {{0x7CC, 0x8000}};
    const std::string svg = svgPlot(plot, 700, 235);
    const auto polylines = [&](const char* colour) {
        std::vector<std::size_t> at;
        for (std::size_t i = svg.find("<polyline"); i != std::string::npos;
             i = svg.find("<polyline", i + 1)) {
            if (svg.substr(i, svg.find('>', i) - i).find(colour) != std::string::npos) {
                at.push_back(i);
            }
        }
        return at;
    };
    const auto first = polylines("1f4e9c"), second = polylines("e08a00");
    EXPECT_EQ(first.size(), 2u) << "best fit broken at the gap: " << svg;
    ASSERT_FALSE(second.empty());
    EXPECT_GT(second.front(), first.back()) << "the thinner series drawn last";
}
