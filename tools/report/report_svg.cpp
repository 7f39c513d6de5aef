// quorin-report, the plot: three panels over the steps of a run, as an SVG
// file. On top every root's excitation energy (marker size: oscillator
// strength) with the followed root ringed; below it the energy handed back to
// Gaussian; at the bottom the candidates' SNTO values. Root changes, failed
// steps and the start of each further log are marked across all panels, and a
// state keeps one colour and shape everywhere.
//
// Markers are groups placed by a translation, and every element painted in a
// state's colour carries data-state; rings around a root carry data-root.
#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>
#include <string_view>

#include "report.hpp"
#include "report_text.hpp"

namespace quorin::report {

namespace {

// ------------------------------------------------------------ primitives

std::string f1(double v) { return fmt("%.1f", v); }

std::string xml(std::string_view s) {
    std::string r;
    for (char ch : utf8_clean(s)) {
        if (ch == '&') r += "&amp;";
        else if (ch == '<') r += "&lt;";
        else if (ch == '>') r += "&gt;";
        else if (ch == '"') r += "&quot;";
        else if (static_cast<unsigned char>(ch) >= 0x20 || ch == '\t') r += ch;
    }
    return r;
}

// A colour per state: a palette told apart also by the colour-blind, then hues a golden angle apart.
std::string colour(int state) {
    static const char* const palette[] = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                                          "#E69F00", "#56B4E9", "#7F7F7F", "#8C564B"};
    if (state >= 1 && state <= 8) return palette[state - 1];
    const double h = std::fmod(137.508 * std::max(state, 0), 360.0) / 60.0, c = 0.5, m = 0.2;
    const double x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1));
    const int k = static_cast<int>(h) % 6;
    const double rgb[6][3] = {{c, x, 0}, {x, c, 0}, {0, c, x}, {0, x, c}, {x, 0, c}, {c, 0, x}};
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", static_cast<int>((rgb[k][0] + m) * 255),
                  static_cast<int>((rgb[k][1] + m) * 255), static_cast<int>((rgb[k][2] + m) * 255));
    return buf;
}

// A shape at the origin: circle, square, triangle or diamond by state.
std::string shape(int state, double r) {
    switch ((state > 0 ? state - 1 : 0) % 4) {
        case 1:
            return "<rect x=\"" + f1(-r) + "\" y=\"" + f1(-r) + "\" width=\"" + f1(2 * r) + "\" height=\"" + f1(2 * r) +
                   "\"/>";
        case 2:
            return "<polygon points=\"0," + f1(-1.2 * r) + " " + f1(-1.1 * r) + "," + f1(0.9 * r) + " " + f1(1.1 * r) +
                   "," + f1(0.9 * r) + "\"/>";
        case 3:
            return "<polygon points=\"0," + f1(-1.3 * r) + " " + f1(1.3 * r) + ",0 0," + f1(1.3 * r) + " " +
                   f1(-1.3 * r) + ",0\"/>";
        default:
            return "<circle r=\"" + f1(r) + "\"/>";
    }
}

struct Spot {
    double x, y, r;
};

// A group at a spot: its attributes (class, data-..., paint) and its content.
std::string group(const Spot& at, const std::string& attrs, const std::string& content) {
    return "<g " + attrs + " transform=\"translate(" + f1(at.x) + "," + f1(at.y) + ")\">" + content + "</g>\n";
}

std::string marker(int state, const Spot& at, bool hollow, const std::string& attrs, const std::string& title) {
    const std::string paint = hollow ? "fill=\"white\" stroke=\"" + colour(state) + "\""
                                     : "fill=\"" + colour(state) + "\" stroke=\"#222\"";
    return group(at, attrs + " data-state=\"" + num(state) + "\" " + paint + " stroke-width=\"1.5\"",
                 shape(state, at.r) + (title.empty() ? "" : "<title>" + xml(title) + "</title>"));
}

std::string ring(const Spot& at, const std::string& attrs) {
    return group(at, attrs, "<circle r=\"" + f1(at.r) + "\" fill=\"none\" stroke=\"#111\" stroke-width=\"1.5\"/>");
}

// ------------------------------------------------------------ axes

struct Ticks {
    double lo, hi, step;
    int decimals;
};

Ticks nice_ticks(double lo, double hi, int target) {
    if (!(hi > lo)) {
        double d = std::max(1e-6, std::fabs(lo) * 1e-6);
        lo -= d, hi += d;
    }
    double raw = (hi - lo) / target;
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double r = raw / mag;
    double step = (r < 1.5 ? 1 : r < 3 ? 2 : r < 7 ? 5 : 10) * mag;
    Ticks t{std::floor(lo / step) * step, std::ceil(hi / step) * step, step, 0};
    t.decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    return t;
}

// One panel: where it stands, its value axis (higher values up) and what it shows.
struct Panel {
    std::string id, title;
    double top = 0, bottom = 0;
    Ticks t{0, 1, 0, 1};  // step 0: no ticks (nothing to show)
    double y(double v) const { return bottom - (v - t.lo) / (t.hi - t.lo) * (bottom - top); }
};

Panel make_panel(std::string id, std::string title, double top, double height, const std::vector<double>& v) {
    Panel p{std::move(id), std::move(title), top, top + height};
    if (v.empty()) return p;
    const double lo = *std::min_element(v.begin(), v.end()), hi = *std::max_element(v.begin(), v.end());
    p.t = nice_ticks(lo - (hi - lo) * 0.08, hi + (hi - lo) * 0.08, 5);
    return p;
}

// The plot: the run, the step axis shared by the panels, and the text drawn so far.
struct Plot {
    const Run& run;
    double left, width;
    long long smin, smax;
    std::ostringstream o;
    double slot() const { return width / static_cast<double>(smax - smin + 1); }  // every step owns a slot
    double x(long long step) const { return left + (static_cast<double>(step - smin) + 0.5) * slot(); }
    double rm() const { return std::clamp(slot() * 0.3, 2.5, 4.5); }  // marker size: smaller when steps crowd
};

void frame(Plot& p, const Panel& pn) {
    p.o << "<rect x=\"" << p.left << "\" y=\"" << pn.top << "\" width=\"" << p.width << "\" height=\""
        << (pn.bottom - pn.top) << "\" fill=\"none\" stroke=\"#333\"/>\n";
    // Counted, not accumulated: with values far from zero a step below their resolution would never advance.
    const double n = pn.t.step > 0 ? std::floor((pn.t.hi - pn.t.lo) / pn.t.step + 1e-6) : -1.0;
    for (int k = 0; std::isfinite(n) && k <= n && k <= 50; ++k) {
        const double v = pn.t.lo + k * pn.t.step, y = pn.y(v);
        const std::string label =
            fmt(("%." + std::to_string(pn.t.decimals) + "f").c_str(), std::fabs(v) < pn.t.step * 1e-9 ? 0.0 : v);
        p.o << "<line x1=\"" << p.left << "\" y1=\"" << f1(y) << "\" x2=\"" << (p.left + p.width) << "\" y2=\""
            << f1(y) << "\" stroke=\"#ddd\"/><text class=\"tick\" data-panel=\"" << pn.id << "\" x=\"" << (p.left - 6)
            << "\" y=\"" << f1(y) << "\" dy=\"4\" text-anchor=\"end\">" << label << "</text>\n";
    }
    p.o << "<text transform=\"translate(" << (p.left - 72) << "," << f1((pn.top + pn.bottom) / 2)
        << ") rotate(-90)\" text-anchor=\"middle\" font-size=\"13\">" << xml(pn.title) << "</text>\n";
}

void empty_note(Plot& p, const Panel& pn, const std::string& text) {
    p.o << "<text x=\"" << f1(p.left + p.width / 2) << "\" y=\"" << f1((pn.top + pn.bottom) / 2)
        << "\" text-anchor=\"middle\" font-size=\"14\" fill=\"#777\">" << xml(text) << "</text>\n";
}

void step_axis(Plot& p, const std::vector<const Panel*>& panels) {
    const long long every = std::max(1LL, static_cast<long long>(std::ceil(static_cast<double>(p.smax - p.smin + 1) / 25.0)));
    const double bottom = panels.back()->bottom;
    for (long long s = p.smin; s <= p.smax; s += every) {
        for (const Panel* pn : panels)
            p.o << "<line x1=\"" << f1(p.x(s)) << "\" y1=\"" << pn->bottom << "\" x2=\"" << f1(p.x(s)) << "\" y2=\""
                << (pn->bottom + 4) << "\" stroke=\"#333\"/>";
        p.o << "<text x=\"" << f1(p.x(s)) << "\" y=\"" << (bottom + 17) << "\" text-anchor=\"middle\">" << s
            << "</text>\n";
    }
    p.o << "<text x=\"" << f1(p.left + p.width / 2) << "\" y=\"" << (bottom + 38)
        << "\" text-anchor=\"middle\" font-size=\"13\">step</text>\n";
}

// A line through (step, value) points, lifted wherever a step has no value.
struct Point {
    long long step;
    double value;
};

std::string path(const Plot& p, const Panel& pn, const std::vector<Point>& pts) {
    std::string d;
    long long prev = 0;
    for (std::size_t k = 0; k < pts.size(); ++k) {
        d += (k > 0 && pts[k].step == prev + 1 ? " L " : " M ") + f1(p.x(pts[k].step)) + " " + f1(pn.y(pts[k].value));
        prev = pts[k].step;
    }
    return d;
}

void series(Plot& p, const Panel& pn, int state, const std::vector<Point>& pts) {
    if (pts.size() < 2) return;
    p.o << "<path class=\"series\" data-panel=\"" << pn.id << "\""
        << (state > 0 ? " data-state=\"" + num(state) + "\" stroke=\"" + colour(state) + "\"" : " stroke=\"#555\"")
        << " d=\"" << path(p, pn, pts) << "\" fill=\"none\" stroke-width=\"1.2\" stroke-opacity=\"0.8\"/>\n";
}

// ------------------------------------------------------------ what is drawn

// Root changes, failed steps and the start of each further log (named below the top panel), across all panels.
void step_marks(Plot& p, double top, double bottom, double label_y) {
    const double slot = p.slot();
    for (std::size_t i = 0; i < p.run.calls.size(); ++i) {
        const Call& c = p.run.calls[i];
        const std::string band = "<rect x=\"" + f1(p.x(c.step) - slot * 0.45) + "\" y=\"" + f1(top) + "\" width=\"" +
                                 f1(slot * 0.9) + "\" height=\"" + f1(bottom - top) + "\" ";
        if (root_changed(p.run, i))
            p.o << "<g class=\"root-change\" data-step=\"" << c.step << "\">" << band
                << "fill=\"#FFC107\" fill-opacity=\"0.22\"/><line x1=\"" << f1(p.x(c.step)) << "\" y1=\"" << top
                << "\" x2=\"" << f1(p.x(c.step)) << "\" y2=\"" << bottom
                << "\" stroke=\"#B8860B\" stroke-width=\"1.5\" stroke-dasharray=\"5,3\"/><text x=\"" << f1(p.x(c.step))
                << "\" y=\"" << (top - 6) << "\" text-anchor=\"middle\" font-weight=\"bold\" fill=\"#8B6508\">state "
                << followed_before(p.run, i) << "\xe2\x86\x92" << c.state_after << "</text></g>\n";
        if (c.failed())
            p.o << "<g class=\"error-step\" data-step=\"" << c.step << "\">" << band
                << "fill=\"#D62728\" fill-opacity=\"0.15\"/><text x=\"" << f1(p.x(c.step)) << "\" y=\"" << (top + 16)
                << "\" text-anchor=\"middle\" font-weight=\"bold\" fill=\"#B22222\">ERROR</text><title>"
                << xml(error_text(p.run, c)) << "</title></g>\n";
    }
    for (std::size_t k = 1; k < p.run.logs.size(); ++k) {
        const Log& l = p.run.logs[k];
        if (l.first_call == l.end_call || l.first_call == 0) continue;
        const double x = p.x(p.run.calls[l.first_call].step) - slot * 0.5;
        p.o << "<g class=\"log-start\" data-step=\"" << p.run.calls[l.first_call].step << "\"><line x1=\"" << f1(x)
            << "\" y1=\"" << top << "\" x2=\"" << f1(x) << "\" y2=\"" << bottom
            << "\" stroke=\"#444\" stroke-dasharray=\"2,3\"/><text x=\"" << f1(x + 3) << "\" y=\"" << label_y
            << "\" font-size=\"10\" fill=\"#444\">" << xml(l.source) << "</text></g>\n";
    }
}

// Marker radius for an oscillator strength: the area grows with f, up to f = 1.
double radius_of(double f, double rmax) { return 2.5 + (rmax - 2.5) * std::sqrt(std::clamp(f, 0.0, 1.0)); }
double largest_radius(const Plot& p) { return std::clamp(p.slot() * 0.42, 4.0, 11.0); }

void excitation_panel(Plot& p, const Panel& pn, const std::set<int>& roots) {
    const double rmax = largest_radius(p);
    std::vector<Point> followed;
    for (const Call& c : p.run.calls)
        if (const Excitation* x = excitation(c, followed_after(c)))
            followed.push_back({c.step, x->ev});
    if (followed.size() > 1)
        p.o << "<path class=\"followed-path\" d=\"" << path(p, pn, followed)
            << "\" fill=\"none\" stroke=\"#666\" stroke-opacity=\"0.35\" stroke-width=\"9\" stroke-linejoin=\"round\"/>\n";
    for (int r : roots) {
        std::vector<Point> pts;
        for (const Call& c : p.run.calls)
            if (const Excitation* x = excitation(c, r)) pts.push_back({c.step, x->ev});
        series(p, pn, r, pts);
    }
    for (const Call& c : p.run.calls)
        for (const Excitation& x : c.excitations) {
            const Spot at{p.x(c.step), pn.y(x.ev), x.f ? radius_of(*x.f, rmax) : 2.5};
            const std::string at_step = "data-step=\"" + num(c.step) + "\"";
            p.o << marker(x.root, at, !x.f, "class=\"excitation-point\" " + at_step,
                          "step " + num(c.step) + ", root " + num(x.root) + ": " + fmt("%.4f", x.ev) + " eV" +
                              (x.f ? ", f = " + fmt("%.4f", *x.f) : ", f not read"));
            if (x.root == followed_after(c))
                p.o << ring({at.x, at.y, at.r + 3.5}, "class=\"followed\" " + at_step + " data-root=\"" + num(x.root) + "\"");
        }
    if (roots.empty()) empty_note(p, pn, "no excited-state block echoed in the log");
}

void energy_panel(Plot& p, const Panel& pn) {
    std::vector<Point> pts;
    for (const Call& c : p.run.calls)
        if (auto e = handed_back_energy(c)) pts.push_back({c.step, *e});
    series(p, pn, 0, pts);
    for (const Call& c : p.run.calls)
        if (auto e = handed_back_energy(c))
            p.o << marker(c.state_after, {p.x(c.step), pn.y(*e), p.rm() + 0.5}, false,
                          "class=\"energy-point\" data-step=\"" + num(c.step) + "\"",
                          "step " + num(c.step) + ", state " + num(c.state_after) + ", E = " + fmt("%.10f", *e));
    if (pts.empty()) empty_note(p, pn, "no energy handed back");
}

// Glyphs over a step above the SNTO panel: near-degenerate matches and doubts said aloud.
void snto_glyphs(Plot& p, const Panel& pn, const Call& c) {
    const std::string at = "data-step=\"" + num(c.step) + "\" x=\"" + f1(p.x(c.step));
    if (!c.near.empty())
        p.o << "<text class=\"near-degenerate\" " << at << "\" y=\"" << (pn.top - 20)
            << "\" text-anchor=\"middle\" font-size=\"15\" font-weight=\"bold\" fill=\"#B22222\">\xe2\x89\x88</text>\n";
    std::string doubts;
    for (const Warning& w : c.warnings)
        if (is_doubt(w.kind)) doubts += (doubts.empty() ? "" : "\n") + w.text;
    if (!doubts.empty())
        p.o << "<text class=\"doubt\" " << at << "\" y=\"" << (pn.top - 6)
            << "\" text-anchor=\"middle\" font-size=\"15\" font-weight=\"bold\" fill=\"#B22222\">!<title>"
            << xml(doubts) << "</title></text>\n";
}

void snto_points(Plot& p, const Panel& pn, const Call& c) {
    const double rm = p.rm(), dx = std::min(10.0, p.slot() * 0.2);
    const std::string at_step = "data-step=\"" + num(c.step) + "\"";
    if (auto own = own_snto(c))
        p.o << "<line class=\"own-snto\" " << at_step << " x1=\"" << f1(p.x(c.step) - p.slot() * 0.4) << "\" x2=\""
            << f1(p.x(c.step) + p.slot() * 0.4) << "\" y1=\"" << f1(pn.y(*own)) << "\" y2=\"" << f1(pn.y(*own))
            << "\" stroke=\"#333\" stroke-width=\"1.5\" stroke-dasharray=\"3,2\"/>\n";
    double shift = dx;
    for (const Snto& x : c.second)
        if (valid(x.value))
            p.o << marker(x.state, {p.x(c.step) + (shift += dx), pn.y(std::max(x.value, 0.0)), rm * 0.8}, true,
                          "class=\"snto-nminus\" " + at_step,
                          "step " + num(c.step) + ", state " + num(x.state) + ", SNTO against " + c.second_reference + " = " + fmt("%.6f", x.value));
    for (const Snto& x : c.candidates) {
        if (!valid(x.value)) continue;
        const Spot at{p.x(c.step), pn.y(std::max(x.value, 0.0)), rm};
        if (x.state == chosen_state(c))
            p.o << ring({at.x, at.y, rm + 4}, "class=\"chosen\" " + at_step + " data-root=\"" + num(x.state) + "\"");
        p.o << marker(x.state, at, false, "class=\"snto-point\" " + at_step,
                      "step " + num(c.step) + ", state " + num(x.state) + ", SNTO = " + fmt("%.6f", x.value));
    }
    const char* what = c.mode == Mode::Hessian ? "freq." : c.initial ? "start" : nullptr;
    if (what && c.candidates.empty() && p.slot() >= 34)
        p.o << "<text x=\"" << f1(p.x(c.step)) << "\" y=\"" << (pn.bottom - 8)
            << "\" text-anchor=\"middle\" font-size=\"11\" fill=\"#777\">" << what << "</text>\n";
}

void snto_panel(Plot& p, const Panel& pn, const std::set<int>& states) {
    for (int s : states) {
        std::vector<Point> pts;
        for (const Call& c : p.run.calls)
            for (const Snto& x : c.candidates)
                if (x.state == s && valid(x.value)) pts.push_back({c.step, std::max(x.value, 0.0)});
        series(p, pn, s, pts);
    }
    for (const Call& c : p.run.calls) {
        snto_points(p, pn, c);
        snto_glyphs(p, pn, c);
    }
    const auto& calls = p.run.calls;
    if (std::all_of(calls.begin(), calls.end(), [](const Call& c) { return c.candidates.empty(); }))
        empty_note(p, pn, std::any_of(calls.begin(), calls.end(), [](const Call& c) { return c.mode == Mode::Adiabatic; })
                              ? "no state matching: adiabatic mode follows a fixed root number"
                              : "no SNTO values in the log");
}

// ------------------------------------------------------------ legend

void legend_key(Plot& p, double x, double& y, const std::string& glyph, const std::string& text) {
    p.o << glyph << "<text x=\"" << (x + 20) << "\" y=\"" << y << "\">" << xml(text) << "</text>\n";
    y += 22;
}

void legend(Plot& p, double x, double y, const std::set<int>& states) {
    p.o << "<text x=\"" << x << "\" y=\"" << y << "\" font-weight=\"bold\">states (roots)</text>\n";
    y += 20;
    for (int s : states) {
        p.o << marker(s, {x + 6, y - 4, 5}, false, "class=\"legend\"", "") << "<text x=\"" << (x + 18) << "\" y=\""
            << y << "\">state " << s << "</text>\n";
        y += 20;
    }
    y += 8;
    const double rmax = largest_radius(p);
    for (double f : {0.01, 0.1, 0.5})
        legend_key(p, x, y, group({x + 6, y - 4, 0}, "fill=\"#bbb\" stroke=\"#222\"", shape(1, radius_of(f, rmax))),
                   "f = " + fmt("%g", f));
    auto at = [&](double r) { return Spot{x + 6, y - 4, r}; };
    legend_key(p, x, y,
               "<line x1=\"" + f1(x - 2) + "\" x2=\"" + f1(x + 14) + "\" y1=\"" + f1(y - 4) + "\" y2=\"" + f1(y - 4) +
                   "\" stroke=\"#666\" stroke-opacity=\"0.35\" stroke-width=\"9\"/>",
               "followed root, step to step");
    legend_key(p, x, y, ring(at(8), ""), "followed / chosen state");
    legend_key(p, x, y, group(at(0), "fill=\"white\" stroke=\"#555\" stroke-width=\"1.5\"", shape(1, 4)), "SNTO vs n-1");
    legend_key(p, x, y,
               "<line x1=\"" + f1(x) + "\" x2=\"" + f1(x + 12) + "\" y1=\"" + f1(y - 4) + "\" y2=\"" + f1(y - 4) +
                   "\" stroke=\"#333\" stroke-width=\"1.5\" stroke-dasharray=\"3,2\"/>",
               "reference's own SNTO");
    auto box = [&](const std::string& paint) {
        return "<rect x=\"" + f1(x) + "\" y=\"" + f1(y - 11) + "\" width=\"12\" height=\"14\" " + paint + "/>";
    };
    legend_key(p, x, y, box("fill=\"#FFC107\" fill-opacity=\"0.4\" stroke=\"#B8860B\" stroke-dasharray=\"3,2\""),
               "root changed");
    legend_key(p, x, y, box("fill=\"#D62728\" fill-opacity=\"0.3\""), "failed step");
    auto glyph = [&](const char* g) {
        return "<text x=\"" + f1(x + 6) + "\" y=\"" + f1(y + 1) +
               "\" text-anchor=\"middle\" font-size=\"15\" font-weight=\"bold\" fill=\"#B22222\">" + g + "</text>";
    };
    legend_key(p, x, y, glyph("\xe2\x89\x88"), "near-degenerate");
    legend_key(p, x, y, glyph("!"), "doubt (quorin warned)");
}

std::set<int> states_of(const Run& run, bool roots) {
    std::set<int> s;
    for (const Call& c : run.calls) {
        if (roots)
            for (const Excitation& x : c.excitations) s.insert(x.root);
        else
            for (const Snto& x : c.candidates) s.insert(x.state);
    }
    return s;
}

}  // namespace

std::string render_svg(const Run& run) {
    const double W = 1000, left = 100, right = 200, top = 64, gap = 50;
    std::vector<double> ev, energy, snto{0.0, 1.0};
    for (const Call& c : run.calls) {
        for (const Excitation& x : c.excitations) ev.push_back(x.ev);
        if (auto e = handed_back_energy(c)) energy.push_back(*e);
        for (const auto* list : {&c.candidates, &c.second})
            for (const Snto& x : *list)
                if (valid(x.value)) snto.push_back(x.value);
        if (auto own = own_snto(c)) snto.push_back(*own);
    }
    const Panel pe = make_panel("excitation", "excitation energy / eV", top, 250, ev);
    const Panel pg = make_panel("energy", "energy handed back / hartree", pe.bottom + gap, 170, energy);
    Panel ps = make_panel("snto", "SNTO with the state followed before", pg.bottom + gap, 190, {});
    ps.t = nice_ticks(0.0, *std::max_element(snto.begin(), snto.end()), 5);
    ps.t.lo = 0.0;
    const double H = ps.bottom + 62;

    Plot p{run, left, W - left - right, 0, 0, {}};
    p.o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << W
        << "\" height=\"" << H << "\" viewBox=\"0 0 " << W << " " << H
        << "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\" font-size=\"12\">\n<rect x=\"0\" y=\"0\" width=\""
        << W << "\" height=\"" << H << "\" fill=\"white\"/>\n<text x=\"" << left
        << "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">quorin run: " << xml(run.source()) << "</text>\n";
    if (run.calls.empty()) {
        p.o << "<text x=\"" << left << "\" y=\"48\">no quorin call in the log</text>\n</svg>\n";
        return p.o.str();
    }
    p.o << "<text x=\"" << left << "\" y=\"44\" fill=\"#444\">"
        << xml(num(static_cast<int>(run.calls.size())) + (run.calls.size() == 1 ? " step" : " steps") +
               "; followed: " + followed_runs(run))
        << "</text>\n";
    p.smin = p.smax = run.calls.front().step;
    for (const Call& c : run.calls) p.smin = std::min<long long>(p.smin, c.step), p.smax = std::max<long long>(p.smax, c.step);

    step_marks(p, pe.top, ps.bottom, pe.bottom + 18);
    for (const Panel* pn : {&pe, &pg, static_cast<const Panel*>(&ps)}) frame(p, *pn);
    step_axis(p, {&pe, &pg, &ps});
    excitation_panel(p, pe, states_of(run, true));
    energy_panel(p, pg);
    snto_panel(p, ps, states_of(run, false));
    std::set<int> all = states_of(run, true), matched = states_of(run, false);
    all.insert(matched.begin(), matched.end());
    for (const Call& c : run.calls)
        if (c.state_after > 0) all.insert(c.state_after);
    legend(p, left + p.width + 18, top + 8, all);
    p.o << "</svg>\n";
    return p.o.str();
}

}  // namespace quorin::report
