// libFuzzer target for the numerical core: arbitrary bit patterns as
// arguments. Built with AddressSanitizer and UndefinedBehaviorSanitizer, so
// any out-of-bounds access or undefined operation is a finding; beyond that,
// properties that hold for every input are checked and a violation aborts.
//
// Input layout (missing bytes read as zero): one selector byte, then up to
// ten 32-bit floats, or for the rounding check one 64-bit double, or for the
// version check two strings separated by a zero byte, or for the fraction
// solver nine 32-bit floats and four 16-bit bracket positions.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "kernels/float_bits.hpp"
#include "kernels/residual.hpp"
#include "kernels/search.hpp"
#include "kernels/status.hpp"
#include "mpf_core.hpp"
#include "version_check.hpp"

namespace core = tavni::mt_map;

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_core: property violated: %s\n", what);
    std::abort();
}

void check(bool holds, const char *what) {
    if (!holds) {
        fail(what);
    }
}

struct Input {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at = 0;

    template <typename T>
    T take() {
        unsigned char bytes[sizeof(T)] = {};
        for (std::size_t i = 0; i < sizeof(T) && at < size; ++i) {
            bytes[i] = data[at++];
        }
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
};

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_value(double a, double b) {  // NaN matches NaN, whatever its bits
    return (std::isnan(a) && std::isnan(b)) || same_bits(a, b);
}

bool same_value(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

void fuzz_integrand(Input &in) {
    const float u = in.take<float>(), Delta = in.take<float>(), T2b = in.take<float>();
    const double r = core::super_lorentzian_differential(u, Delta, T2b);
    const bool finite = std::isfinite(u) && std::isfinite(Delta) && std::isfinite(T2b);
    check(!(finite && std::isnan(r)), "integrand: NaN from finite arguments");
    check(std::isnan(r) || r >= 0.0, "integrand: negative");
    // Even in every argument.
    check(same_value(r, core::super_lorentzian_differential(-u, Delta, T2b)),
          "integrand: odd in u");
    check(same_value(r, core::super_lorentzian_differential(u, -Delta, T2b)),
          "integrand: odd in Delta");
    check(same_value(r, core::super_lorentzian_differential(u, Delta, -T2b)),
          "integrand: odd in T2b");
    // Never above the lineshape's own envelope 1/|3u^2 - 1|.
    if (finite) {
        const double d = static_cast<double>(u * u) * 3.0 - 1.0;
        check(d != 0.0, "integrand: 3u^2 - 1 vanished");
        check(r <= 1.0 / std::fabs(d), "integrand: above its envelope");
    }
}

void fuzz_signal(Input &in) {
    core::SignalParameters p{};
    const float f = in.take<float>();
    // The input's bytes in the order they have always been read.
    for (float *x : {&p.R1, &p.T2_free, &p.duration, &p.delta_omega, &p.TR, &p.flip_angle,
                     &p.omega_1_rms, &p.G}) {
        *x = in.take<float>();
    }
    const float S = core::newRamani_corr(f, p);
    // The offset and the saturation amplitude enter squared; the flip angle
    // through an even cosine and an odd sine.
    const auto negated = [&p](float core::SignalParameters::*field) {
        core::SignalParameters q = p;
        q.*field = -(q.*field);
        return q;
    };
    check(same_value(S, core::newRamani_corr(f, negated(&core::SignalParameters::delta_omega))),
          "signal: depends on the sign of delta_omega");
    check(same_value(S, core::newRamani_corr(f, negated(&core::SignalParameters::omega_1_rms))),
          "signal: depends on the sign of omega_1_rms");
    check(same_value(-S, core::newRamani_corr(f, negated(&core::SignalParameters::flip_angle))),
          "signal: not odd in flip_angle");
}

void fuzz_model(Input &in) {
    float a[10];
    for (float &x : a) {
        x = in.take<float>();
    }
    const double r = core::model(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
    // The residual is the single S_ratio minus a ratio that S_ratio does not
    // enter: r = S_ratio + r(S_ratio = 0).
    // (Compared by value: 0 - q is +0 where -q is -0.)
    const double r0 = core::model(a[0], 0.0f, a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
    const double shifted = static_cast<double>(a[1]) + r0;
    check((std::isnan(r) && std::isnan(shifted)) || r == shifted,
          "model: S_ratio does not shift the result");
    // The ratio of the two signals built from the same terms.
    const core::SignalParameters saturated{a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]};
    core::SignalParameters reference = saturated;
    reference.omega_1_rms = 0.0f;
    const float S_ref = core::newRamani_corr(a[0], reference);
    const float S_mt = core::newRamani_corr(a[0], saturated);
    const double expected =
        S_ref == 0.0f
            ? NAN
            : static_cast<double>(a[1]) - static_cast<double>(S_mt) / static_cast<double>(S_ref);
    check(same_value(r, expected), "model: not S_ratio - S_mt/S_ref");
}

// Where a single sits on the line for rounding purposes: infinity counts as
// the next power of two past FLT_MAX, as IEEE round-to-nearest has it.
long double position(float x) {
    return std::isinf(x) ? std::copysign(0x1p128L, static_cast<long double>(x))
                         : static_cast<long double>(x);
}

void fuzz_rounding(Input &in) {
    const double x = in.take<double>();
    const float r = core::to_single(x);
    if (std::isnan(x) || std::isinf(x)) {
        check(same_value(r, static_cast<float>(x)), "to_single: NaN or infinity changed");
        return;
    }
    check(!std::isnan(r), "to_single: NaN made");
    check(std::signbit(r) == std::signbit(x), "to_single: sign changed");
    // Nearest: neither neighbouring single is closer; a tie goes to the one
    // with an even significand. Long double holds every operand exactly.
    const long double target = x;
    const long double distance = std::fabs(position(r) - target);
    for (const float towards : {-INFINITY, INFINITY}) {
        const float next = std::nextafter(r, towards);
        if (next == r || std::isnan(next)) {
            continue;
        }
        const long double other = std::fabs(position(next) - target);
        check(distance <= other, "to_single: not the nearest single");
        if (distance == other) {
            check(std::isinf(r) || (core::bits_of(r) & 1u) == 0, "to_single: tie not to even");
        }
    }
}

// The solver's verdicts are borne out by the residual: a found f (solved,
// or the smaller of two zeros) lies in the bracket and the residual is
// exactly zero there, or finite and of opposite signs at its neighbours,
// or f is a bracket end where the residual is finite and within rounding
// of zero.
bool keeps_promise(const core::FractionResidual &residual, const core::FractionFit &fit, float lo,
                   float hi) {
    const auto f = static_cast<float>(fit.f);
    if (!(f >= lo && f <= hi) || static_cast<double>(f) != fit.f) {
        return false;
    }
    const double r = residual(f);
    const double below = residual(std::nextafter(f, -INFINITY));
    const double above = residual(std::nextafter(f, INFINITY));
    return r == 0.0 || ((f == lo || f == hi) && residual.near_zero(r)) ||
           (std::isfinite(below) && std::isfinite(above) && (below > 0.0) != (above > 0.0) &&
            below != 0.0 && above != 0.0);
}

bool found(const core::FractionFit &fit) {
    return fit.status == core::fit_solved || fit.status == core::fit_two_roots;
}

void fuzz_solver(Input &in) {
    core::FractionProblem p{};
    for (float *x : {&p.S_ratio, &p.R1, &p.T2_free, &p.delta_omega, &p.omega_1_rms, &p.G, &p.TR,
                     &p.duration, &p.flip_angle}) {
        *x = in.take<float>();
    }
    // Two brackets in [0, 0.999], the second inside the first.
    const auto position = [&in] { return in.take<std::uint16_t>() / 65536.0; };
    double lo = 0.999 * position(), hi = 0.999 * position();
    if (hi < lo) {
        std::swap(lo, hi);
    }
    const double inner_lo = lo + (hi - lo) * position();
    const double inner_hi = inner_lo + (hi - inner_lo) * position();
    const core::FractionResidual residual(p);
    float brackets[2][2];
    core::single_bracket(lo, hi, brackets[0][0], brackets[0][1]);
    core::single_bracket(inner_lo, inner_hi, brackets[1][0], brackets[1][1]);
    core::FractionFit fits[2];
    for (int i = 0; i < 2; ++i) {
        const float b_lo = brackets[i][0], b_hi = brackets[i][1];
        fits[i] = core::solve_fraction(residual, b_lo, b_hi, false);
        const core::FractionFit &fit = fits[i];
        if (found(fit)) {
            check(keeps_promise(residual, fit, b_lo, b_hi),
                  "solver: found f without a sign change");
        } else {
            check(std::isnan(fit.f), "solver: f without a zero is not NaN");
        }
        if (fit.status == core::fit_two_roots) {
            // Both ends of one sign with the residual turning back between
            // them, or a zero within rounding at an end and a crossing
            // inside: where the quadratic of the exact residual turns, the
            // residual has the sign opposite to the far end's.
            const double r_lo = residual(b_lo), r_hi = residual(b_hi);
            const bool at_end = residual.near_zero(r_lo) || residual.near_zero(r_hi);
            check((r_lo > 0.0) == (r_hi > 0.0) || at_end,
                  "solver: two zeros with a sign change between the ends");
            if (at_end && (r_lo > 0.0) != (r_hi > 0.0)) {
                const core::FractionResidual::Quadratic q = residual.quadratic();
                const double k = -q.q1 / (2.0 * q.q2);
                const auto vertex = static_cast<float>(k / (19.0 + k));
                const double r_far = residual.near_zero(r_lo) ? r_hi : r_lo;
                const double r_vertex = residual(vertex);
                check(vertex > b_lo && vertex < b_hi && std::isfinite(r_vertex) &&
                          (r_vertex > 0.0) != (r_far > 0.0),
                      "solver: two zeros at an end without a crossing inside");
            }
        }
        if (fit.status == core::fit_below_bracket || fit.status == core::fit_above_bracket) {
            const double r_lo = residual(b_lo), r_hi = residual(b_hi);
            check(std::isfinite(r_lo) && std::isfinite(r_hi) && (r_lo > 0.0) == (r_hi > 0.0) &&
                      !residual.near_zero(r_lo) && !residual.near_zero(r_hi),
                  "solver: no zero reported where the ends change sign");
        }
    }
    // Where the residual changes sign between the inner bracket's ends, both
    // brackets hold a zero, and for physical inputs both searches find one,
    // whatever their widths, even where the single-precision residual only
    // pokes a few units across zero near a double zero of the exact one. Not
    // where the reference signal is subnormal (a flip angle of 1e-40, say):
    // with a few significant bits left, the residual's sign is rounding
    // noise.
    const auto normal_reference = [&p](float f) {
        core::SignalParameters reference = p.signal();
        reference.omega_1_rms = 0.0f;
        return std::fabs(core::newRamani_corr(f, reference)) >= FLT_MIN;
    };
    const double r_lo = residual(brackets[1][0]), r_hi = residual(brackets[1][1]);
    if (core::in_physical_domain(p) && normal_reference(brackets[0][0]) &&
        normal_reference(brackets[0][1]) && normal_reference(brackets[1][0]) &&
        normal_reference(brackets[1][1]) && std::isfinite(r_lo) && std::isfinite(r_hi) &&
        r_lo * r_hi < 0.0 && fits[0].status != core::fit_invalid_input &&
        fits[1].status != core::fit_invalid_input) {
        check(found(fits[0]) && found(fits[1]), "solver: verdict depends on the bracket's width");
    }
}

void fuzz_version(const std::uint8_t *data, std::size_t size) {
    // Two strings, NUL-separated: the built-for version and the running one.
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::size_t split = text.find('\0');
    const std::string built_for = text.substr(0, split == std::string::npos ? text.size() : split);
    const std::string running =
        split == std::string::npos ? std::string() : std::string(text.c_str() + split + 1);
    const bool match = core::versions_match(built_for.c_str(), running.c_str());
    if (match) {
        check(running.compare(0, built_for.size(), built_for) == 0,
              "versions: match without prefix");
    }
    char message[200];
    core::version_mismatch_message(message, sizeof message, built_for.c_str(), "tavni.mt_map.mpf",
                                   running.c_str());
    check(std::memchr(message, '\0', sizeof message) != nullptr,
          "versions: message not terminated");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    Input in{data + 1, size - 1};
    switch (data[0] % 6) {
    case 0:
        fuzz_integrand(in);
        break;
    case 1:
        fuzz_signal(in);
        break;
    case 2:
        fuzz_model(in);
        break;
    case 3:
        fuzz_rounding(in);
        break;
    case 5:
        fuzz_solver(in);
        break;
    default:
        fuzz_version(data + 1, size - 1);
        break;
    }
    return 0;
}
