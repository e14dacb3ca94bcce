#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <vector>

#include "../error.h"

namespace placidor::host {

namespace {

std::string num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", v);
    std::string s = text;
    // Trim trailing zeros: 2.5000 -> 2.5, 3.0000 -> 3.
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') s.pop_back();
    if (s == "-0") s = "0";
    return s;
}

// A "nice" tick step covering `span` in about `count` steps.
double tickStep(double span, int count) {
    if (!(span > 0)) return 1.0;
    const double raw = span / count;
    const double base = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * base) return m * base;
    return 10.0 * base;
}

void plotAxis(std::ostream &out, const char *title, double top, const CameraPath &path,
              double frameRate, const std::vector<double> &measured,
              const std::vector<double> &correction, const std::vector<double> &delivered,
              const std::vector<bool> &clamped) {
    const double left = 70, width = 860, height = 240;
    const std::size_t n = measured.size();
    double lo = 0, hi = 0;
    for (std::size_t i = 0; i < n; ++i)
        for (double v : {measured[i], measured[i] + correction[i], delivered[i]}) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    if (hi - lo < 2) {
        lo -= 1;
        hi += 1;
    }
    const double pad = (hi - lo) * 0.05;
    lo -= pad;
    hi += pad;
    const double seconds = n > 1 ? (n - 1) / frameRate : 1.0;
    const auto X = [&](std::size_t i) {
        return left + width * (n > 1 ? double(i) / double(n - 1) : 0.0);
    };
    const auto Y = [&](double v) { return top + height * (hi - v) / (hi - lo); };

    out << "<g>\n<text x=\"" << left << "\" y=\"" << top - 8 << "\" class=\"title\">" << title
        << "</text>\n";
    out << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << width << "\" height=\""
        << height << "\" class=\"frame\"/>\n";
    // Where the crop limit held the correction short.
    for (std::size_t i = 0; i < n; ++i) {
        if (!clamped[i]) continue;
        std::size_t j = i;
        while (j + 1 < n && clamped[j + 1]) ++j;
        const double x0 = X(i) - (n > 1 ? width / double(n - 1) / 2 : 0);
        const double x1 = X(j) + (n > 1 ? width / double(n - 1) / 2 : 0);
        out << "<rect x=\"" << num(std::max(left, x0)) << "\" y=\"" << top << "\" width=\""
            << num(std::min(left + width, x1) - std::max(left, x0)) << "\" height=\"" << height
            << "\" class=\"clamped\"/>\n";
        i = j;
    }
    const double vStep = tickStep(hi - lo, 6);
    for (double v = std::ceil(lo / vStep) * vStep; v <= hi; v += vStep)
        out << "<line x1=\"" << left << "\" x2=\"" << left + width << "\" y1=\"" << num(Y(v))
            << "\" y2=\"" << num(Y(v)) << "\" class=\"grid\"/><text x=\"" << left - 6 << "\" y=\""
            << num(Y(v) + 4) << "\" class=\"tick\" text-anchor=\"end\">" << num(v) << "</text>\n";
    const double tStep = tickStep(seconds, 10);
    for (double t = 0; t <= seconds + 1e-9; t += tStep) {
        const double x = left + width * t / seconds;
        out << "<text x=\"" << num(x) << "\" y=\"" << top + height + 16
            << "\" class=\"tick\" text-anchor=\"middle\">" << num(t) << " s</text>\n";
    }
    const auto line = [&](const char *cls, auto value) {
        out << "<polyline class=\"" << cls << "\" points=\"";
        for (std::size_t i = 0; i < n; ++i) out << num(X(i)) << ',' << num(Y(value(i))) << ' ';
        out << "\"/>\n";
    };
    line("measured", [&](std::size_t i) { return measured[i]; });
    line("smoothed", [&](std::size_t i) { return measured[i] + correction[i]; });
    line("delivered", [&](std::size_t i) { return delivered[i]; });
    out << "</g>\n";
    (void)path;
}

}  // namespace

void writeRectsCsv(std::ostream &out, const CameraPath &p) {
    out << "frame,dx,dy,correction_x,correction_y,clamped,left,top,right,bottom\n";
    for (std::size_t i = 0; i < p.dx.size(); ++i) {
        const ClipRect &r = p.rects[i];
        out << p.firstFrame + static_cast<std::int64_t>(i) << ',' << p.dx[i] << ',' << p.dy[i]
            << ',' << num(p.deliveredX[i] - p.measuredX[i]) << ','
            << num(p.deliveredY[i] - p.measuredY[i]) << ','
            << ((p.clampedX[i] || p.clampedY[i]) ? 1 : 0) << ',' << num(r.left) << ',' << num(r.top)
            << ',' << num(r.right) << ',' << num(r.bottom) << '\n';
    }
}

void writeRectsJson(std::ostream &out, const CameraPath &p, int width, int height,
                    double frameRate) {
    out << "{\n  \"width\": " << width << ",\n  \"height\": " << height
        << ",\n  \"frame_rate\": " << num(frameRate)
        << ",\n  \"max_clip_error\": " << p.maxClipError << ",\n  \"frames\": [\n";
    for (std::size_t i = 0; i < p.dx.size(); ++i) {
        const ClipRect &r = p.rects[i];
        out << "    {\"frame\": " << p.firstFrame + static_cast<std::int64_t>(i)
            << ", \"dx\": " << p.dx[i] << ", \"dy\": " << p.dy[i] << ", \"correction\": ["
            << num(p.deliveredX[i] - p.measuredX[i]) << ", "
            << num(p.deliveredY[i] - p.measuredY[i])
            << "], \"clamped\": " << ((p.clampedX[i] || p.clampedY[i]) ? "true" : "false")
            << ", \"rect\": [" << num(r.left) << ", " << num(r.top) << ", " << num(r.right) << ", "
            << num(r.bottom) << "]}" << (i + 1 < p.dx.size() ? ",\n" : "\n");
    }
    out << "  ]\n}\n";
}

void writePlotSvg(std::ostream &out, const CameraPath &p, double frameRate) {
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"960\" height=\"680\" viewBox=\"0 0 "
           "960 680\">\n"
           "<style>text{font:12px sans-serif;fill:#222}.title{font-weight:bold}"
           ".frame{fill:#fff;stroke:#888}.grid{stroke:#e4e4e4}.clamped{fill:#f6c8c8}"
           "polyline{fill:none;stroke-width:1.5}.measured{stroke:#1f77b4}"
           ".smoothed{stroke:#ff7f0e;stroke-dasharray:5 3}.delivered{stroke:#2ca02c}</style>\n"
           "<rect width=\"960\" height=\"680\" fill=\"#fafafa\"/>\n";
    plotAxis(out, "Horizontal path: picture shift from the first frame (pixels, up: rightwards)",
             40, p, frameRate, p.measuredX, p.correctionX, p.deliveredX, p.clampedX);
    plotAxis(out, "Vertical path: picture shift from the first frame (pixels, up: downwards)", 360,
             p, frameRate, p.measuredY, p.correctionY, p.deliveredY, p.clampedY);
    out << "<g transform=\"translate(70,655)\">"
           "<line x1=\"0\" x2=\"24\" y1=\"0\" y2=\"0\" class=\"measured\" "
           "style=\"stroke-width:2\"/>"
           "<text x=\"30\" y=\"4\">measured</text>"
           "<line x1=\"120\" x2=\"144\" y1=\"0\" y2=\"0\" class=\"smoothed\" "
           "style=\"stroke-width:2\"/>"
           "<text x=\"150\" y=\"4\">smoothed</text>"
           "<line x1=\"240\" x2=\"264\" y1=\"0\" y2=\"0\" class=\"delivered\" "
           "style=\"stroke-width:2\"/>"
           "<text x=\"270\" y=\"4\">delivered (after the crop limit)</text>"
           "<rect x=\"480\" y=\"-7\" width=\"24\" height=\"14\" class=\"clamped\"/>"
           "<text x=\"510\" y=\"4\">crop limit cut the correction short (max "
        << p.maxClipError << " px)</text></g>\n</svg>\n";
}

void saveRects(const std::string &file, const CameraPath &path, int width, int height,
               double frameRate, const std::string &writePath) {
    std::ofstream out(writePath.empty() ? file : writePath);
    if (!out) throw HostError("cannot write '" + file + "'");
    if (file.size() >= 5 && file.substr(file.size() - 5) == ".json")
        writeRectsJson(out, path, width, height, frameRate);
    else writeRectsCsv(out, path);
    out.close();
    if (!out) throw HostError("writing '" + file + "' failed");
}

void savePlot(const std::string &file, const CameraPath &path, double frameRate,
              const std::string &writePath) {
    std::ofstream out(writePath.empty() ? file : writePath);
    if (!out) throw HostError("cannot write '" + file + "'");
    writePlotSvg(out, path, frameRate);
    out.close();
    if (!out) throw HostError("writing '" + file + "' failed");
}

}  // namespace placidor::host
