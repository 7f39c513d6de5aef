// quorin-report, the plot: energy and SNTO panels of a run as an SVG file,
// with root changes and failed steps marked.
#include "report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "report_text.hpp"
#include "text_fields.hpp"

namespace quorin::report {

// -------------------------------------------------------------------- SVG

namespace {

const char* const kPalette[] = {"#0072B2", "#D55E00", "#009E73", "#CC79A7", "#E69F00", "#56B4E9", "#7F7F7F", "#8C564B"};
constexpr int kShapes = 4;

std::string colour(int state) { return kPalette[(state > 0 ? state - 1 : 0) % 8]; }

std::string xml(std::string_view s) {
    std::string r;
    for (char ch : s) {
        switch (ch) {
            case '&':
                r += "&amp;";
                break;
            case '<':
                r += "&lt;";
                break;
            case '>':
                r += "&gt;";
                break;
            case '"':
                r += "&quot;";
                break;
            default:
                if (static_cast<unsigned char>(ch) >= 0x20 || ch == '\t') r += ch;
        }
    }
    return r;
}

std::string f1(double v) { return fmt("%.1f", v); }

// A marker of the state's shape (circle, square, triangle, diamond) at (x, y).
// Where a marker stands and how large it is, and how it is painted.
struct Spot {
    double x, y, r;
};
struct Paint {
    std::string fill, stroke;
};

std::string marker(int state, const Spot& at, const Paint& paint, const std::string& attrs) {
    const auto [x, y, r] = at;
    int shape = (state > 0 ? state - 1 : 0) % kShapes;
    std::string common = " fill=\"" + paint.fill + "\" stroke=\"" + paint.stroke + "\" stroke-width=\"1.5\" " + attrs;
    switch (shape) {
        case 1:
            return "<rect x=\"" + f1(x - r) + "\" y=\"" + f1(y - r) + "\" width=\"" + f1(2 * r) + "\" height=\"" +
                   f1(2 * r) + "\"" + common + "/>";
        case 2:
            return "<polygon points=\"" + f1(x) + "," + f1(y - 1.2 * r) + " " + f1(x - 1.1 * r) + "," +
                   f1(y + 0.9 * r) + " " + f1(x + 1.1 * r) + "," + f1(y + 0.9 * r) + "\"" + common + "/>";
        case 3:
            return "<polygon points=\"" + f1(x) + "," + f1(y - 1.3 * r) + " " + f1(x + 1.3 * r) + "," + f1(y) + " " +
                   f1(x) + "," + f1(y + 1.3 * r) + " " + f1(x - 1.3 * r) + "," + f1(y) + "\"" + common + "/>";
        default:
            return "<circle cx=\"" + f1(x) + "\" cy=\"" + f1(y) + "\" r=\"" + f1(r) + "\"" + common + "/>";
    }
}

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

}  // namespace

std::string render_svg(const Run& run) {
    const double W = 980, left = 100, right = 180, top = 64;
    const double panel_h = 230, gap = 56;
    const double plot_w = W - left - right;
    const double e_top = top, e_bot = top + panel_h;
    const double s_top = e_bot + gap, s_bot = s_top + panel_h;
    const double H = s_bot + 62;
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << W << "\" height=\"" << H << "\" viewBox=\"0 0 " << W
      << " " << H << "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\" font-size=\"12\">\n";
    o << "<rect x=\"0\" y=\"0\" width=\"" << W << "\" height=\"" << H << "\" fill=\"white\"/>\n";
    o << "<text x=\"" << left << "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">quorin run: " << xml(run.source)
      << "</text>\n";
    if (run.calls.empty()) {
        o << "<text x=\"" << left << "\" y=\"48\">no quorin call in the log</text>\n</svg>\n";
        return o.str();
    }
    std::string sub = std::to_string(run.calls.size()) + (run.calls.size() == 1 ? " step" : " steps") +
                      "; followed: " + followed_runs(run);
    o << "<text x=\"" << left << "\" y=\"44\" fill=\"#444\">" << xml(sub) << "</text>\n";

    // Step axis: every step owns a slot of equal width.
    long long smin = run.calls.front().step, smax = smin;
    for (const Call& c : run.calls) smin = std::min<long long>(smin, c.step), smax = std::max<long long>(smax, c.step);
    const double slot = plot_w / static_cast<double>(smax - smin + 1);
    auto X = [&](long long step) { return left + (static_cast<double>(step - smin) + 0.5) * slot; };
    const double rm = std::clamp(slot * 0.3, 2.5, 4.5);  // marker size: smaller when the steps crowd

    // Energy range.
    std::vector<double> es;
    for (const Call& c : run.calls)
        if (auto e = handed_back_energy(c)) es.push_back(*e);
    Ticks et{0, 1, 0.2, 1};
    if (!es.empty()) {
        double lo = *std::min_element(es.begin(), es.end()), hi = *std::max_element(es.begin(), es.end());
        double padv = (hi - lo) * 0.08;
        et = nice_ticks(lo - padv, hi + padv, 5);
    }
    auto YE = [&](double e) { return e_bot - (e - et.lo) / (et.hi - et.lo) * panel_h; };

    // SNTO range: 0 to 1, or above when a value exceeds 1.
    double shi = 1.0;
    for (const Call& c : run.calls) {
        for (const Snto& x : c.candidates)
            if (valid(x.value)) shi = std::max(shi, x.value);
        for (const Snto& x : c.second)
            if (valid(x.value)) shi = std::max(shi, x.value);
    }
    Ticks st = nice_ticks(0.0, shi, 5);
    st.lo = 0.0;
    auto YS = [&](double v) { return s_bot - (std::max(v, 0.0) - st.lo) / (st.hi - st.lo) * panel_h; };

    // Marks behind the data: root changes and failed steps span both panels.
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
        const Call& c = run.calls[i];
        double x0 = X(c.step) - slot * 0.45, w = slot * 0.9;
        if (root_changed(run, i)) {
            std::string label = "state " + num(followed_before(run, i)) + "\xe2\x86\x92" + num(c.state_after);
            o << "<g class=\"root-change\" data-step=\"" << c.step << "\">"
              << "<rect x=\"" << f1(x0) << "\" y=\"" << e_top << "\" width=\"" << f1(w) << "\" height=\""
              << f1(s_bot - e_top) << "\" fill=\"#FFC107\" fill-opacity=\"0.22\"/>"
              << "<line x1=\"" << f1(X(c.step)) << "\" y1=\"" << e_top << "\" x2=\"" << f1(X(c.step)) << "\" y2=\""
              << s_bot << "\" stroke=\"#B8860B\" stroke-width=\"1.5\" stroke-dasharray=\"5,3\"/>"
              << "<text x=\"" << f1(X(c.step)) << "\" y=\"" << (e_top - 6)
              << "\" text-anchor=\"middle\" font-weight=\"bold\" fill=\"#8B6508\">" << label << "</text></g>\n";
        }
        if (c.failed()) {
            o << "<g class=\"error-step\" data-step=\"" << c.step << "\">"
              << "<rect x=\"" << f1(x0) << "\" y=\"" << e_top << "\" width=\"" << f1(w) << "\" height=\""
              << f1(s_bot - e_top) << "\" fill=\"#D62728\" fill-opacity=\"0.15\"/>"
              << "<text x=\"" << f1(X(c.step)) << "\" y=\"" << (e_top + 16)
              << "\" text-anchor=\"middle\" font-weight=\"bold\" fill=\"#B22222\">ERROR</text>";
            // As much of the message as the slot holds, a line at a time.
            std::size_t per_line = static_cast<std::size_t>(std::max(4.0, slot * 0.9 / 6.2));
            std::string msg = c.error.empty() ? error_text(c) : c.error;
            double y = e_top + 32;
            for (std::size_t p = 0; p < msg.size() && y < e_bot - 4; p += per_line, y += 13)
                o << "<text x=\"" << f1(X(c.step)) << "\" y=\"" << f1(y)
                  << "\" text-anchor=\"middle\" font-size=\"10\" fill=\"#B22222\">" << xml(msg.substr(p, per_line))
                  << "</text>";
            o << "<title>" << xml(error_text(c)) << "</title></g>\n";
        }
    }

    // Panel frames, grids and axes.
    auto frame = [&](double y0, double y1, const Ticks& t, const std::string& title, auto Y) {
        o << "<rect x=\"" << left << "\" y=\"" << y0 << "\" width=\"" << plot_w << "\" height=\"" << (y1 - y0)
          << "\" fill=\"none\" stroke=\"#333\"/>\n";
        // Counted, not accumulated: with values far from zero a step below
        // their resolution would never advance.
        const double n_ticks = t.step > 0 ? std::floor((t.hi - t.lo) / t.step + 1e-6) : -1.0;
        for (int k = 0; std::isfinite(n_ticks) && k <= n_ticks && k <= 50; ++k) {
            const double v = t.lo + k * t.step;
            double y = Y(v);
            o << "<line x1=\"" << left << "\" y1=\"" << f1(y) << "\" x2=\"" << (left + plot_w) << "\" y2=\"" << f1(y)
              << "\" stroke=\"#ddd\"/>";
            std::string label =
                fmt(("%." + std::to_string(t.decimals) + "f").c_str(), std::fabs(v) < t.step * 1e-9 ? 0.0 : v);
            o << "<text x=\"" << (left - 6) << "\" y=\"" << f1(y + 4) << "\" text-anchor=\"end\">" << label
              << "</text>\n";
        }
        o << "<text transform=\"translate(" << (left - 72) << "," << f1((y0 + y1) / 2)
          << ") rotate(-90)\" text-anchor=\"middle\" font-size=\"13\">" << xml(title) << "</text>\n";
    };
    if (es.empty()) {
        et.step = 0;  // no ticks for an empty axis
        o << "<text x=\"" << f1(left + plot_w / 2) << "\" y=\"" << f1((e_top + e_bot) / 2)
          << "\" text-anchor=\"middle\" font-size=\"14\" fill=\"#777\">no energy handed back</text>\n";
    }
    frame(e_top, e_bot, et, "followed state energy / hartree", YE);
    frame(s_top, s_bot, st, "SNTO with previous step", YS);
    const long long every = std::max(1LL, static_cast<long long>(std::ceil(static_cast<double>(smax - smin + 1) / 25.0)));
    for (long long s = smin; s <= smax; s += every) {
        for (double yb : {e_bot, s_bot})
            o << "<line x1=\"" << f1(X(s)) << "\" y1=\"" << yb << "\" x2=\"" << f1(X(s)) << "\" y2=\"" << (yb + 4)
              << "\" stroke=\"#333\"/>";
        o << "<text x=\"" << f1(X(s)) << "\" y=\"" << (s_bot + 17) << "\" text-anchor=\"middle\">" << s << "</text>\n";
    }
    o << "<text x=\"" << f1(left + plot_w / 2) << "\" y=\"" << (s_bot + 38)
      << "\" text-anchor=\"middle\" font-size=\"13\">step</text>\n";

    // Energy panel: the followed state's energy per step, coloured by state.
    std::string path;
    bool pen = false;
    for (const Call& c : run.calls) {
        auto e = handed_back_energy(c);
        if (!e) {
            pen = false;
            continue;
        }
        path += (pen ? " L " : " M ") + f1(X(c.step)) + " " + f1(YE(*e));
        pen = true;
    }
    if (!path.empty()) o << "<path d=\"" << path << "\" fill=\"none\" stroke=\"#555\" stroke-width=\"1.5\"/>\n";
    for (const Call& c : run.calls) {
        auto e = handed_back_energy(c);
        if (!e) continue;
        std::string attrs =
            "class=\"energy-point\" data-step=\"" + num(c.step) + "\" data-state=\"" + num(c.state_after) + "\"";
        o << marker(c.state_after, {X(c.step), YE(*e), rm + 0.5}, {colour(c.state_after), "#222"}, attrs) << "<title>step "
          << c.step << ", state " << c.state_after << ", E = " << fmt("%.10f", *e) << "</title>\n";
    }

    // SNTO panel: one series per candidate state; the chosen one ringed,
    // values against n-1 hollow.
    std::set<int> states;
    for (const Call& c : run.calls) {
        for (const Snto& x : c.candidates) states.insert(x.state);
        if (c.state_after > 0) states.insert(c.state_after);
    }
    for (int s : states) {
        std::string d;
        int prev = -1000000;
        for (const Call& c : run.calls)
            for (const Snto& x : c.candidates)
                if (x.state == s && valid(x.value)) {
                    d += (c.step == prev + 1 ? " L " : " M ") + f1(X(c.step)) + " " + f1(YS(x.value));
                    prev = c.step;
                }
        if (!d.empty())
            o << "<path d=\"" << d << "\" fill=\"none\" stroke=\"" << colour(s)
              << "\" stroke-width=\"1.2\" stroke-opacity=\"0.7\"/>\n";
    }
    for (const Call& c : run.calls) {
        int chosen = chosen_state(c);
        double dx = std::min(10.0, slot * 0.2);
        for (const Snto& x : c.second)
            if (valid(x.value))
                o << marker(x.state, {X(c.step) + (dx += std::min(10.0, slot * 0.2)), YS(x.value), rm * 0.8},
                            {"white", colour(x.state)}, "class=\"snto-nminus\" data-step=\"" + num(c.step) + "\"")
                  << "<title>step " << c.step << ", state " << x.state
                  << ", SNTO against n-1 = " << fmt("%.6f", x.value) << "</title>\n";
        for (const Snto& x : c.candidates) {
            if (!valid(x.value)) continue;
            if (x.state == chosen)
                o << "<circle cx=\"" << f1(X(c.step)) << "\" cy=\"" << f1(YS(x.value)) << "\" r=\"" << f1(rm + 4)
                  << "\" fill=\"none\" stroke=\"#111\" stroke-width=\"1.5\"/>";
            o << marker(x.state, {X(c.step), YS(x.value), rm}, {colour(x.state), "#222"},
                        "class=\"snto-point\" data-step=\"" + num(c.step) + "\" data-state=\"" + num(x.state) + "\"")
              << "<title>step " << c.step << ", state " << x.state << ", SNTO = " << fmt("%.6f", x.value)
              << "</title>\n";
        }
        const char* what = c.mode == Mode::Hessian ? "freq." : c.initial ? "start" : nullptr;
        if (what && c.candidates.empty() && slot >= 34)
            o << "<text x=\"" << f1(X(c.step)) << "\" y=\"" << (s_bot - 8)
              << "\" text-anchor=\"middle\" font-size=\"11\" fill=\"#777\">" << what << "</text>\n";
        if (!c.near.empty())
            o << "<text class=\"near-degenerate\" data-step=\"" << c.step << "\" x=\"" << f1(X(c.step)) << "\" y=\""
              << (s_top + 16) << "\" text-anchor=\"middle\" font-size=\"15\" font-weight=\"bold\" fill=\"#B22222\">"
              << "\xe2\x89\x88</text>\n";
    }

    if (std::all_of(run.calls.begin(), run.calls.end(), [](const Call& c) { return c.candidates.empty(); })) {
        bool adiabatic =
            std::any_of(run.calls.begin(), run.calls.end(), [](const Call& c) { return c.mode == Mode::Adiabatic; });
        o << "<text x=\"" << f1(left + plot_w / 2) << "\" y=\"" << f1((s_top + s_bot) / 2)
          << "\" text-anchor=\"middle\" font-size=\"14\" fill=\"#777\">"
          << (adiabatic ? "no state matching: adiabatic mode follows a fixed root number" : "no SNTO values in the log")
          << "</text>\n";
    }

    // Legend.
    double lx = left + plot_w + 18, ly = e_top + 8;
    o << "<text x=\"" << lx << "\" y=\"" << ly << "\" font-weight=\"bold\">states</text>\n";
    ly += 20;
    for (int s : states) {
        o << marker(s, {lx + 6, ly - 4, 5}, {colour(s), "#222"}, "class=\"legend\"") << "<text x=\"" << (lx + 18)
          << "\" y=\"" << ly << "\">state " << s << "</text>\n";
        ly += 20;
    }
    ly += 8;
    o << "<circle cx=\"" << (lx + 6) << "\" cy=\"" << (ly - 4)
      << "\" r=\"8\" fill=\"none\" stroke=\"#111\" stroke-width=\"1.5\"/>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">chosen state</text>\n";
    ly += 22;
    o << "<circle cx=\"" << (lx + 6) << "\" cy=\"" << (ly - 4)
      << "\" r=\"4\" fill=\"white\" stroke=\"#555\" stroke-width=\"1.5\"/>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">SNTO vs n-1</text>\n";
    ly += 22;
    o << "<rect x=\"" << lx << "\" y=\"" << (ly - 11)
      << "\" width=\"12\" height=\"14\" fill=\"#FFC107\" fill-opacity=\"0.4\" stroke=\"#B8860B\" "
         "stroke-dasharray=\"3,2\"/>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">root changed</text>\n";
    ly += 22;
    o << "<text x=\"" << (lx + 6) << "\" y=\"" << (ly + 1)
      << "\" text-anchor=\"middle\" font-size=\"15\" font-weight=\"bold\" fill=\"#B22222\">\xe2\x89\x88</text>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">near-degenerate</text>\n";
    ly += 22;
    o << "<rect x=\"" << lx << "\" y=\"" << (ly - 11)
      << "\" width=\"12\" height=\"14\" fill=\"#D62728\" fill-opacity=\"0.3\"/>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">failed step</text>\n";
    o << "</svg>\n";
    return o.str();
}

}  // namespace quorin::report
