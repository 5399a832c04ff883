// Scaling and turning 8-bit pictures in memory, for thumbnails of plain
// JPEGs. vips's reducers work a pixel at a time through its pipeline, and
// with its run-time vector code off (see initialize) they took two thirds of
// a small photo's reading. Here both axes are reduced as rows: a column pass
// reads the picture turned on its side, so every inner loop runs along
// memory and the compiler vectorises it (this file is built with -O3).

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Core/Media/MediaInternal.h"

namespace vintrelle::media {

namespace {

// Weights are fixed point with this many fraction bits; each kernel's sum
// exactly one.
constexpr int kWeightBits = 14;
constexpr int kOne = 1 << kWeightBits;

double lanczos3(double x) {
    x = std::fabs(x);
    if (x < 1e-12) return 1;
    if (x >= 3) return 0;
    const double px = M_PI * x;
    return 3 * std::sin(px) * std::sin(px / 3) / (px * px);
}

// For each output pixel of one axis, the first input pixel it reads and
// `taps` weights for it and those after it.
struct Kernel {
    int in = 0, out = 0;
    double shrink = 0;
    int taps = 0;
    std::vector<int> first;
    std::vector<int16_t> weights;  // out x taps
};

// Output pixel o is centred on input position (o + 0.5) * shrink - 0.5, less
// half of what out pixels of that shrink cover beyond the input (what the
// rounding of the output size added or dropped is shared between the two
// edges), as vips's reducers place it; it reads every input pixel within
// three times the shrink of it, and positions past an edge read the edge.
Kernel makeKernel(int in, int out, double shrink) {
    Kernel k;
    k.in = in;
    k.out = out;
    k.shrink = shrink;
    const double support = 3 * shrink;
    const int span = int(std::ceil(2 * support)) + 1;
    k.taps = std::min(span, in);
    k.first.resize(size_t(out));
    k.weights.assign(size_t(out) * size_t(k.taps), 0);
    std::vector<double> w(size_t(k.taps));
    for (int o = 0; o < out; ++o) {
        const double centre = (o + 0.5) * shrink - 0.5 - (out * shrink - in) / 2;
        const int p0 = int(std::floor(centre - support)) + 1;
        const int lo = std::clamp(p0, 0, in - k.taps);
        std::fill(w.begin(), w.end(), 0.0);
        double sum = 0;
        for (int p = p0; p < p0 + span; ++p) {
            const double v = lanczos3((p - centre) / shrink);
            w[size_t(std::clamp(p, 0, in - 1) - lo)] += v;
            sum += v;
        }
        int16_t* q = &k.weights[size_t(o) * size_t(k.taps)];
        int total = 0;
        size_t largest = 0;
        for (size_t t = 0; t < w.size(); ++t) {
            q[t] = int16_t(std::lround(w[t] / sum * kOne));
            total += q[t];
            if (w[t] > w[largest]) largest = t;
        }
        q[largest] = int16_t(q[largest] + kOne - total);
        k.first[size_t(o)] = lo;
    }
    return k;
}

// The kernels of the last picture's two axes: a library's photos mostly
// share a few sizes.
const Kernel& kernelFor(int axis, int in, int out, double shrink) {
    thread_local Kernel cached[2];
    Kernel& k = cached[axis];
    if (k.in != in || k.out != out || k.shrink != shrink) k = makeKernel(in, out, shrink);
    return k;
}

// Lines `from` to `to` of the kernel's output, each the kernel's sum over
// lines of in (each `length` bytes, `stride` apart), one after another
// into out.
[[gnu::always_inline]] inline void reduceLinesWith(const uint8_t* in, size_t stride, size_t length, const Kernel& k,
                                                   int from, int to, uint8_t* out, std::vector<int32_t>& sums) {
    sums.resize(length);
    int32_t* acc = sums.data();
    for (int o = from; o < to; ++o) {
        const int16_t* w = &k.weights[size_t(o) * size_t(k.taps)];
        const uint8_t* line = in + size_t(k.first[size_t(o)]) * stride;
        const int32_t w0 = w[0];
        for (size_t i = 0; i < length; ++i) acc[i] = w0 * line[i];
        for (int t = 1; t < k.taps; ++t) {
            const int32_t wt = w[t];
            line += stride;
            if (wt == 0) continue;
            for (size_t i = 0; i < length; ++i) acc[i] += wt * line[i];
        }
        uint8_t* dst = out + size_t(o - from) * length;
        for (size_t i = 0; i < length; ++i) dst[i] = uint8_t(std::clamp((acc[i] + kOne / 2) >> kWeightBits, 0, 255));
    }
}

// The same built for processors with wider vectors. Chosen by a test of our
// own rather than by the loader (target_clones), whose choice runs before a
// sanitizer's runtime is ready.
[[gnu::target("avx2")]] void reduceLinesWide(const uint8_t* in, size_t stride, size_t length, const Kernel& k,
                                             int from, int to, uint8_t* out, std::vector<int32_t>& sums) {
    reduceLinesWith(in, stride, length, k, from, to, out, sums);
}

void reduceLinesNarrow(const uint8_t* in, size_t stride, size_t length, const Kernel& k, int from, int to,
                       uint8_t* out, std::vector<int32_t>& sums) {
    reduceLinesWith(in, stride, length, k, from, to, out, sums);
}

void reduceLines(const uint8_t* in, size_t stride, size_t length, const Kernel& k, int from, int to, uint8_t* out,
                 std::vector<int32_t>& sums) {
    static const bool wide = __builtin_cpu_supports("avx2");
    (wide ? reduceLinesWide : reduceLinesNarrow)(in, stride, length, k, from, to, out, sums);
}

// Turns a picture of h rows of w pixels into one of w rows of h pixels, a
// block at a time so that both sides stay in the cache.
template <int B>
void transposeBands(const uint8_t* in, int w, int h, uint8_t* out) {
    constexpr int kBlock = 32;
    for (int y0 = 0; y0 < h; y0 += kBlock)
        for (int x0 = 0; x0 < w; x0 += kBlock) {
            const int y1 = std::min(h, y0 + kBlock), x1 = std::min(w, x0 + kBlock);
            for (int x = x0; x < x1; ++x) {
                uint8_t* column = out + size_t(x) * size_t(h) * B;
                const uint8_t* from = in + size_t(x) * B;
                // Three-byte pixels move as four bytes, the fourth
                // overwritten by the next pixel down, except where that
                // byte lies past the end of either picture's row.
                const int fast = B == 3 && x + 1 < w ? std::min(y1, h - 1) : y0;
                int y = y0;
                for (; y < fast; ++y) {
                    uint32_t pixel;
                    std::memcpy(&pixel, from + size_t(y) * size_t(w) * B, 4);
                    std::memcpy(column + size_t(y) * B, &pixel, 4);
                }
                for (; y < y1; ++y) std::memcpy(column + size_t(y) * B, from + size_t(y) * size_t(w) * B, B);
            }
        }
}

// Turns h rows of w pixels of `bands` bytes into w rows of h pixels.
void transpose(const uint8_t* in, int w, int h, int bands, uint8_t* out) {
    if (bands == 3) transposeBands<3>(in, w, h, out);
    else transposeBands<1>(in, w, h, out);
}

// Where display pixel (x, y) of an upright picture comes from in the stored
// one of w x h, for each EXIF orientation.
template <int B>
void turnBands(const Pixels& in, int orientation, Pixels& out) {
    const int w = in.width, h = in.height;
    for (int y = 0; y < out.height; ++y) {
        uint8_t* dst = out.row(y);
        for (int x = 0; x < out.width; ++x) {
            int sx = x, sy = y;
            switch (orientation) {
            case 2: sx = w - 1 - x; break;
            case 3: sx = w - 1 - x; sy = h - 1 - y; break;
            case 4: sy = h - 1 - y; break;
            case 5: sx = y; sy = x; break;
            case 6: sx = y; sy = h - 1 - x; break;
            case 7: sx = w - 1 - y; sy = h - 1 - x; break;
            case 8: sx = w - 1 - y; sy = x; break;
            default: break;
            }
            std::memcpy(dst + size_t(x) * B, in.row(sy) + size_t(sx) * B, B);
        }
    }
}

}  // namespace

void reduce(const Pixels& in, int width, int height, double hshrink, double vshrink, Pixels& out) {
    // Rows made at once: what a strip goes through stays in the cache.
    constexpr int kStrip = 32;
    // Kept for the thread's next picture: freshly mapped memory costs a
    // page fault for every 4 kB touched.
    thread_local std::vector<int32_t> sums;
    thread_local std::vector<uint8_t> strip, side, sideOut;
    const bool down = vshrink > 1, across = hshrink > 1;
    if (!down && !across) {
        out = in;
        return;
    }
    out.reshape(across ? width : in.width, down ? height : in.height, in.bands);
    const int bands = in.bands;
    const Kernel* vertical = down ? &kernelFor(0, in.height, out.height, vshrink) : nullptr;
    const Kernel* horizontal = across ? &kernelFor(1, in.width, width, hshrink) : nullptr;
    for (int y0 = 0; y0 < out.height; y0 += kStrip) {
        const int rows = std::min(kStrip, out.height - y0);
        // The strip's rows reduced down, straight into place when nothing
        // is left to reduce across.
        const uint8_t* reducedDown = in.row(y0);
        if (down) {
            uint8_t* target = out.row(y0);
            if (across) {
                strip.resize(size_t(rows) * in.rowBytes());
                target = strip.data();
            }
            reduceLines(in.data.data(), in.rowBytes(), in.rowBytes(), *vertical, y0, y0 + rows, target, sums);
            reducedDown = target;
        }
        if (!across) continue;
        // Reduced across as the rows of the strip turned on its side.
        side.resize(size_t(rows) * in.rowBytes());
        transpose(reducedDown, in.width, rows, bands, side.data());
        const size_t line = size_t(rows) * size_t(bands);
        sideOut.resize(size_t(width) * line);
        reduceLines(side.data(), line, line, *horizontal, 0, width, sideOut.data(), sums);
        transpose(sideOut.data(), rows, width, bands, out.row(y0));
    }
}

void turnUpright(const Pixels& in, int orientation, Pixels& out) {
    if (orientation < 2 || orientation > 8) {
        out = in;
        return;
    }
    const bool swap = orientation >= 5;
    out.reshape(swap ? in.height : in.width, swap ? in.width : in.height, in.bands);
    if (in.bands == 3) turnBands<3>(in, orientation, out);
    else turnBands<1>(in, orientation, out);
}

}  // namespace vintrelle::media
