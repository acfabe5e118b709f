#!/usr/bin/python3
"""The characterization report as a review reads it: rendered to PDF with
every limit failing, and again for a run a meter cut short, and the
datasheet's pages from them: no two words on
a page overlap, and each page is numbered. The words and their boxes come
from poppler's pdftotext, not from our own drawing code.

Usage: layout.py QDCTL
"""
import os
import re
import subprocess
import sys
import tempfile

QDCTL = sys.argv[1]
WORD = re.compile(r'<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)</word>')
failures = []


def words_by_page(pdf):
    xhtml = subprocess.run(["pdftotext", "-bbox", pdf, "-"], check=True, capture_output=True,
                           text=True).stdout
    pages = xhtml.split("<page ")[1:]
    return [(float(re.search(r'width="([\d.]+)"', p).group(1)),
             [(float(a), float(b), float(c), float(d), w) for a, b, c, d, w in WORD.findall(p)])
            for p in pages]


def check(name, pdf, expect):
    pages = words_by_page(pdf)
    if not pages:
        failures.append("%s: no pages" % name)
        return
    text = " ".join(w for _, page in pages for *_, w in page)
    # A value that rounds to nothing is printed without a sign.
    for word in set(re.findall(r"-0\.0+(?![\d])", text)):
        failures.append("%s: %r on a page" % (name, word))
    for wanted in expect:
        if wanted not in text:
            failures.append("%s: %r is not on any page" % (name, wanted))
    for number, (width, page) in enumerate(pages, 1):
        # Nothing runs into the margin: a word cut off there is lost.
        for (x0, y0, x1, y1, w) in page:
            if x1 > width - 30:
                failures.append("%s page %d: %r runs to %.0f of the page's %.0f points"
                                % (name, number, w, x1, width))
        if "page %d of %d" % (number, len(pages)) not in " ".join(w for *_, w in page):
            failures.append("%s: page %d carries no 'page %d of %d'" % (name, number, number, len(pages)))
        # Glyph boxes of neighbouring words may touch; text drawn over text
        # overlaps by far more than a point.
        for i, (x0, y0, x1, y1, w) in enumerate(page):
            for (u0, v0, u1, v1, v) in page[i + 1:]:
                if min(x1, u1) - max(x0, u0) > 1.0 and min(y1, v1) - max(y0, v0) > 1.0:
                    failures.append("%s page %d: %r at (%.0f, %.0f) overlaps %r at (%.0f, %.0f)"
                                    % (name, number, w, x0, y0, v, u0, v0))


with tempfile.TemporaryDirectory() as folder:
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QD_BOARD="sim",
               QD_BOARD_STATE=os.path.join(folder, "board.state"), QD_BOARD_MODEL="typical",
               QD_RESULTS=os.path.join(folder, "results.sqlite"),
               QD_METER_TIME_SCALE="0")
    env.pop("QD_BOARD_FAULT", None)
    every_limit = "inl=0.01,dnl=0.01,offset=0.01,gain=0.0001,zero=0.001,fullscale=0.0001"
    header = ["--serial", "U-0042", "--operator", "A. Engineer with a rather long name",
              "--temperature", "23.1 °C", "--note", "first article of lot 7, " * 8]
    runs = [
        ("every limit failing", ["--limits", every_limit], {}, ["FAIL", "U-0042", "limit"]),
        ("a board gone half-way", [], {"QD_BOARD_FAULT": "unplug-after=900"},
         ["INTERRUPTED", "U-0042"]),
    ]
    for name, extra, more_env, expect in runs:
        pdf = os.path.join(folder, name.replace(" ", "-") + ".pdf")
        if os.path.exists(env["QD_BOARD_STATE"]):
            os.remove(env["QD_BOARD_STATE"])
        subprocess.run([QDCTL, "characterize", "-q", "--device", "QD1400", "--settle", "0",
                        "--codes", "all", "--report", pdf] + header + extra,
                       env=dict(env, **more_env), capture_output=True, timeout=120)
        if not os.path.exists(pdf):
            failures.append("%s: no report was written" % name)
            continue
        check(name, pdf, expect)
    # The datasheet's pages from what was recorded: one unit, so with the
    # line that typ and sigma need more.
    pdf = os.path.join(folder, "datasheet.pdf")
    subprocess.run([QDCTL, "datasheet", "--report", pdf], env=env, capture_output=True,
                   timeout=120)
    if os.path.exists(pdf):
        check("the datasheet", pdf, ["datasheet", "INL (endpoint)", "need at least 3 units"])
    else:
        failures.append("the datasheet: no report was written")

for f in failures[:20]:
    print("FAIL:", f)
print("%d faults" % len(failures))
sys.exit(1 if failures else 0)
