#!/usr/bin/python3
"""SVG plot of the avoided-crossing runs: per step, the excitation energy of
every state (dots coloured by the character of its leading
NTO pair), and the state each run handed back
(a line per run).

    plot_crossing.py OUT.svg RUN_DIR [RUN_DIR ...]    (work directories of run_crossing.py)
"""
import json
import os
import sys

COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#7f7f7f"]
W, H, LEFT, RIGHT, TOP, BOTTOM = 900, 560, 70, 250, 40, 60


def main(argv):
    out, dirs = argv[1], argv[2:]
    runs = [json.load(open(os.path.join(d, "steps.json"))) for d in dirs]
    chars = []
    for r in runs:
        for row in r["rows"]:
            for s in row["states"]:
                if s["character"] not in chars:
                    chars.append(s["character"])
    ev = [s["ev"] for r in runs for row in r["rows"] for s in row["states"]]
    lo, hi = min(ev) - 0.2, max(ev) + 0.2
    nmax = max(row["step"] for r in runs for row in r["rows"])
    pw, ph = W - LEFT - RIGHT, H - TOP - BOTTOM
    panel = pw / len(runs)

    def xy(k, step, e):
        return LEFT + k * panel + 12 + (step - 1) * (panel - 24) / max(1, nmax - 1), TOP + (hi - e) / (hi - lo) * ph

    svg = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" font-size="12">'
           % (W, H), '<rect width="100%" height="100%" fill="white"/>']
    for t in range(int(lo) + 1, int(hi) + 1):
        y = TOP + (hi - t) / (hi - lo) * ph
        svg.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>' % (LEFT, y, LEFT + pw, y))
        svg.append('<text x="%d" y="%.1f" text-anchor="end">%d</text>' % (LEFT - 6, y + 4, t))
    svg.append('<text x="16" y="%d" transform="rotate(-90 16 %d)" text-anchor="middle">excitation energy (eV)</text>'
               % (TOP + ph // 2, TOP + ph // 2))
    for k, r in enumerate(runs):
        x0 = LEFT + k * panel
        svg.append('<rect x="%.1f" y="%d" width="%.1f" height="%d" fill="none" stroke="#888"/>' % (x0, TOP, panel, ph))
        svg.append('<text x="%.1f" y="%d" text-anchor="middle">%s (status %d)</text>'
                   % (x0 + panel / 2, TOP - 10, r["mode"], r["status"]))
        for row in r["rows"]:
            x, _ = xy(k, row["step"], lo)
            svg.append('<text x="%.1f" y="%d" text-anchor="middle">%d</text>' % (x, TOP + ph + 16, row["step"]))
            for s in row["states"]:
                _, y = xy(k, row["step"], s["ev"])
                svg.append('<circle cx="%.1f" cy="%.1f" r="3.5" fill="%s"/>'
                           % (x, y, COLOURS[chars.index(s["character"]) % len(COLOURS)]))
        pts = []
        for row in r["rows"]:
            pts.append("%.1f,%.1f" % xy(k, row["step"], row["states"][row["root"] - 1]["ev"]))
            if row["warnings"]:
                x, y = xy(k, row["step"], row["states"][row["root"] - 1]["ev"])
                svg.append('<text x="%.1f" y="%.1f" font-size="14" fill="#c00" text-anchor="middle">!</text>'
                           % (x, y - 7))
        svg.append('<polyline points="%s" fill="none" stroke="black" stroke-width="1.5"/>' % " ".join(pts))
    svg.append('<text x="%d" y="%d" text-anchor="middle">step (black line: the state handed back; '
               '"!": quorin printed a doubt warning)</text>' % (LEFT + pw // 2, H - 15))
    for i, c in enumerate(chars):
        y = TOP + 10 + 18 * i
        svg.append('<circle cx="%d" cy="%d" r="4" fill="%s"/>' % (LEFT + pw + 20, y, COLOURS[i % len(COLOURS)]))
        label = c.replace("sigma", "\u03c3").replace("pi", "\u03c0").replace("->", "\u2192")
        svg.append('<text x="%d" y="%d">%s</text>' % (LEFT + pw + 30, y + 4, label))
    svg.append("</svg>")
    with open(out, "w") as f:
        f.write("\n".join(svg) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
