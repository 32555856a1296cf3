#include "lineshape.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "parallel.hpp"

namespace tavni::mt_map {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;
// The magic angle's cosine, where 3u^2 - 1 changes sign.
constexpr double magic_u = 0.57735026918962576451;  // 1/sqrt(3)

// 21-point Kronrod rule and its embedded 10-point Gauss rule on [-1, 1]:
// abscissae from the end inwards, the last one the centre. The odd-numbered
// Kronrod abscissae are the Gauss ones.
constexpr double kronrod_x[11] = {
    0.995657163025808080735527280689003,
    0.973906528517171720077964012084452,
    0.930157491355708226001207180059508,
    0.865063366688984510732096688423493,
    0.780817726586416897063717578345042,
    0.679409568299024406234327365114874,
    0.562757134668604683339000099272694,
    0.433395394129247190799265943165784,
    0.294392862701460198131126603103866,
    0.148874338981631210884826001129720,
    0.0,
};
constexpr double kronrod_w[11] = {
    0.011694638867371874278064396062192, 0.032558162307964727478818972459390,
    0.054755896574351996031381300244580, 0.075039674810919952767043140916190,
    0.093125454583697605535065465083366, 0.109387158802297641899210590325805,
    0.123491976262065851077208980957589, 0.134709217311473325928054001771707,
    0.142775938577060080797094273138717, 0.147739104901338491374841515972068,
    0.149445554002916905664936468389821,
};
constexpr double gauss_w[5] = {
    0.066671344308688137593568809893332, 0.149451349150580593145776339657697,
    0.219086362515982043995534934228163, 0.269266719309996355091226921569469,
    0.295524224714752870173892994651338,
};

// The integrand after the substitution u = magic_u + side * exp(v), which
// takes either half of [0, 1] to a half-line in v ending at the magic angle.
// With w = u - magic_u, 3u^2 - 1 = 3 w (w + 2 magic_u) exactly, so
//     integrand(u) du = exp(-2 x^2) / (3 |w + 2 magic_u|) dv,
//     x = |a| / |3u^2 - 1| = exp(log|a| - v) / (3 |w + 2 magic_u|),
// where a = 2 pi Delta T2b. Neither a tiny |3u^2 - 1| nor a tiny a is ever
// formed: the log-divergent peak at the magic angle becomes a plateau of
// height 1/(6 magic_u) in v, cut off smoothly where x grows past 1.
struct Half {
    double side;   // -1 below the magic angle, +1 above
    double log_a;  // log |2 pi Delta T2b|
    double a;      // |2 pi Delta T2b|, or 0 when it is too close to underflow

    double operator()(double v) const noexcept {
        const double distance = std::exp(v);  // |w|
        const double q = 3.0 * std::fabs(side * distance + 2.0 * magic_u);
        // a / |w| in one exponential where a itself is safely normal; v never
        // goes below log_a - 5, so |w| is then normal too.
        const double x = (a != 0.0 ? a / distance : std::exp(log_a - v)) / q;
        return std::exp(-2.0 * x * x) / q;
    }
};

struct Piece {
    const Half *half;
    double lo, hi;
    double value, error;
};

// One Gauss-Kronrod step on [lo, hi], with the error estimate of QUADPACK's
// QK21: the Kronrod-Gauss difference scaled by how rough the integrand is.
void gauss_kronrod(Piece &p) noexcept {
    const Half &h = *p.half;
    const double centre = 0.5 * (p.lo + p.hi);
    const double half_length = 0.5 * (p.hi - p.lo);
    double values[21];
    const double fc = h(centre);
    values[20] = fc;
    double kronrod = fc * kronrod_w[10];
    double gauss = 0.0;
    double absolute = std::fabs(kronrod);
    for (int j = 0; j < 10; ++j) {
        const double dx = half_length * kronrod_x[j];
        const double f1 = h(centre - dx);
        const double f2 = h(centre + dx);
        values[2 * j] = f1;
        values[2 * j + 1] = f2;
        kronrod += kronrod_w[j] * (f1 + f2);
        absolute += kronrod_w[j] * (std::fabs(f1) + std::fabs(f2));
        if (j % 2 == 1) {
            gauss += gauss_w[j / 2] * (f1 + f2);
        }
    }
    const double mean = kronrod * 0.5;
    double roughness = kronrod_w[10] * std::fabs(fc - mean);
    for (int j = 0; j < 10; ++j) {
        roughness +=
            kronrod_w[j] * (std::fabs(values[2 * j] - mean) + std::fabs(values[2 * j + 1] - mean));
    }
    const double scale = std::fabs(half_length);
    p.value = kronrod * half_length;
    roughness *= scale;
    absolute *= scale;
    double error = std::fabs((kronrod - gauss) * half_length);
    if (roughness != 0.0 && error != 0.0) {
        error = roughness * std::min(1.0, std::pow(200.0 * error / roughness, 1.5));
    }
    constexpr double epsilon = std::numeric_limits<double>::epsilon();
    if (absolute > std::numeric_limits<double>::min() / (50.0 * epsilon)) {
        error = std::max(50.0 * epsilon * absolute, error);
    }
    p.error = error;
}

constexpr double target_relative_error = 1e-11;
constexpr std::size_t max_pieces = 512;

}  // namespace

double super_lorentzian(double Delta, double T2b) noexcept {
    if (std::isnan(Delta) || !(T2b > 0.0) || std::isinf(T2b)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (Delta == 0.0) {
        return std::numeric_limits<double>::infinity();
    }
    // log|a| as a sum, so that an extreme offset or T2b cannot underflow a.
    const double log_a = std::log(two_pi) + std::log(std::fabs(Delta)) + std::log(T2b);
    if (std::isinf(log_a)) {
        return 0.0;  // infinite offset: nothing absorbs there
    }
    // Below this v, x > 31 everywhere and exp(-2 x^2) is 0 in double.
    const double v_cut = log_a - 5.0;
    const double a = log_a > -700.0 ? std::exp(log_a) : 0.0;
    const Half below{-1.0, log_a, a};
    const Half above{+1.0, log_a, a};

    Piece pieces[max_pieces];
    std::size_t count = 0;
    const double v_below = std::log(magic_u);        // u = 0
    const double v_above = std::log(1.0 - magic_u);  // u = 1
    if (v_cut < v_below) {
        pieces[count++] = Piece{&below, v_cut, v_below, 0.0, 0.0};
    }
    if (v_cut < v_above) {
        pieces[count++] = Piece{&above, v_cut, v_above, 0.0, 0.0};
    }
    double total = 0.0, total_error = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        gauss_kronrod(pieces[i]);
        total += pieces[i].value;
        total_error += pieces[i].error;
    }
    // Global adaptive refinement: always bisect the piece with the largest
    // error estimate, until the estimates sum below the target.
    while (count > 0 && count < max_pieces &&
           total_error > target_relative_error * std::fabs(total)) {
        std::size_t worst = 0;
        for (std::size_t i = 1; i < count; ++i) {
            if (pieces[i].error > pieces[worst].error) {
                worst = i;
            }
        }
        Piece &p = pieces[worst];
        const double middle = 0.5 * (p.lo + p.hi);
        if (!(p.lo < middle && middle < p.hi)) {
            break;  // cannot be split further in double precision
        }
        Piece right{p.half, middle, p.hi, 0.0, 0.0};
        const double old_value = p.value, old_error = p.error;
        p.hi = middle;
        gauss_kronrod(p);
        gauss_kronrod(right);
        pieces[count++] = right;
        total += p.value + right.value - old_value;
        total_error += p.error + right.error - old_error;
    }
    // Re-add from scratch: the running sums drift by rounding.
    total = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        total += pieces[i].value;
    }
    return std::sqrt(2.0 / pi) * T2b * total;
}

bool super_lorentzian_map(const MapShape &shape, const StridedArray &Delta, const StridedArray &T2b,
                          unsigned threads, double *G, KeepGoing keep_going) noexcept {
    const std::size_t n = shape.size();
    if (Delta.strides == nullptr && T2b.strides == nullptr) {
        std::fill(G, G + n, n > 0 ? super_lorentzian(Delta.value(0), T2b.value(0)) : 0.0);
        return true;
    }
    const StridedArray *const arrays[2] = {&Delta, &T2b};
    // A few microseconds per value: small blocks keep the threads even.
    return parallel_blocks(
        n, 64, threads,
        [&](std::size_t begin, std::size_t end) noexcept {
            StridedCursor<2> at(shape, arrays, begin);
            for (std::size_t i = begin; i < end; ++i, at.advance()) {
                G[i] = super_lorentzian(Delta.value(at[0]), T2b.value(at[1]));
            }
        },
        keep_going);
}

}  // namespace tavni::mt_map
