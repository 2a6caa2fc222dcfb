// The time-dependent half of SGP4/SDP4 over SIMD lanes (xsimd batches of
// doubles): one element set at a time per lane, or one element set per lane
// with their coefficients gathered (SatelliteLanes). Every branch that
// depends on the element set alone (deep space or not, the resonance kind) is
// an ordinary `if`; branches that depend on the time are lane masks.
//
// Everything here is a template over the batch type B, so that each
// instruction set's translation unit gets its own copies and no inline
// function compiled for a wider instruction set is shared with a narrower one.
// How samples are laid out in lanes is sgp4_lanes_runner.hpp's part.
// Plain C++: no Python in here.
#pragma once

#include <cmath>
#include <cstddef>
#include <tuple>

#include <xsimd/xsimd.hpp>

#include "astrokite/propagators/analytical/sgp4/sgp4_theory.hpp"

namespace astrokite::sgp4::lanes {

template <class B> using Mask = typename B::batch_bool_type;

template <class B> B where(const Mask<B> &mask, const B &yes, const B &no) { return xsimd::select(mask, yes, no); }

// The lanes of `reduced` whose angle is past 1e15 radians or not finite,
// done again with the C library's fmod. Rare (hostile elements): out of line.
template <class B> [[gnu::noinline, gnu::cold]] B reduce_past_precision(const B &angle, const B &reduced) {
    alignas(64) double in[B::size], out[B::size];
    angle.store_aligned(in);
    reduced.store_aligned(out);
    for (std::size_t lane = 0; lane < B::size; ++lane)
        if (!(std::fabs(in[lane]) < 1e15))
            out[lane] = std::fmod(in[lane], twopi);
    return B::load_aligned(out);
}

// The angle modulo 2 pi. Lanes past 1e15 radians (rates gone wild in hostile
// elements) stay out of the vector fmod, whose integer conversion is
// undefined for them on targets without a vector one: they take the C
// library's exact fmod, as the theory's reference code does, so that such
// elements fail with the same code there and here. Not finite gives NaN.
//
// The turns are truncated as fmod truncates the quotient a / 2 pi, but found
// by multiplying with 1 / 2 pi, which spares a division. The product lies
// within |q| 2^-51 of the quotient q, so where no integer is within |q| 2^-49
// of it (and wherever |q| < 0.5) both truncate alike; otherwise the lanes
// divide. The result is fmod's to the bit.
template <class B> B reduce(const B &angle) {
    const Mask<B> usable = xsimd::abs(angle) < B(1e15);  // false for NaN
    const B kept = where(usable, angle, B(0.0));
    B turns = kept * B(1.0 / twopi);
    const B size = xsimd::abs(turns);
    const Mask<B> near_integer = (size >= B(0.5)) & (xsimd::abs(turns - xsimd::nearbyint(turns)) <= size * B(0x1p-49));
    if (xsimd::any(near_integer))
        turns = kept / B(twopi);
    const B reduced = xsimd::fnma(xsimd::trunc(turns), B(twopi), kept);
    return xsimd::all(usable) ? reduced : reduce_past_precision(angle, reduced);
}

// State of the resonance integrator in each lane (see deep_space_secular):
// the time of its last stop, the longitude and mean motion there, and the
// derivatives there, which the next batch of times reuses when it needs no
// step. Not started: no lane holds a state yet.
template <class B> struct Resonance {
    B atime = B(0.0), xli = B(0.0), xni = B(0.0);
    B xndt = B(0.0), xldot = B(0.0), xnddt = B(0.0);
    bool started = false;
};

// The resonance's rates of mean motion and longitude (xndt, xldot) and the
// rate of xndt (xnddt) at the integrator's state. The sine and cosine of each
// argument come from one sincos, which gives the values of sin and cos.
template <class B, class S> void resonance_derivatives(const S &s, Resonance<B> &r) {
    constexpr double fasx2 = 0.13130908, fasx4 = 2.8843198, fasx6 = 0.37448087;
    constexpr double g22 = 5.7686396, g32 = 0.95240898, g44 = 1.8014998, g52 = 1.0508330, g54 = 4.4108898;
    r.xldot = r.xni + s.k.xfact;
    if (s.irez != 2) {
        const auto [sin1, cos1] = xsimd::sincos(r.xli - fasx2);
        const auto [sin2, cos2] = xsimd::sincos(2.0 * (r.xli - fasx4));
        const auto [sin3, cos3] = xsimd::sincos(3.0 * (r.xli - fasx6));
        r.xndt = s.k.del1 * sin1 + s.k.del2 * sin2 + s.k.del3 * sin3;
        r.xnddt = s.k.del1 * cos1 + 2.0 * s.k.del2 * cos2 + 3.0 * s.k.del3 * cos3;
    } else {
        const B xomi = s.k.argpo + s.k.argpdot * r.atime;
        const B x2omi = xomi + xomi;
        const B x2li = r.xli + r.xli;
        const auto [sin2201, cos2201] = xsimd::sincos(x2omi + r.xli - g22);
        const auto [sin2211, cos2211] = xsimd::sincos(r.xli - g22);
        const auto [sin3210, cos3210] = xsimd::sincos(xomi + r.xli - g32);
        const auto [sin3222, cos3222] = xsimd::sincos(-xomi + r.xli - g32);
        const auto [sin4410, cos4410] = xsimd::sincos(x2omi + x2li - g44);
        const auto [sin4422, cos4422] = xsimd::sincos(x2li - g44);
        const auto [sin5220, cos5220] = xsimd::sincos(xomi + r.xli - g52);
        const auto [sin5232, cos5232] = xsimd::sincos(-xomi + r.xli - g52);
        const auto [sin5421, cos5421] = xsimd::sincos(xomi + x2li - g54);
        const auto [sin5433, cos5433] = xsimd::sincos(-xomi + x2li - g54);
        r.xndt = s.k.d2201 * sin2201 + s.k.d2211 * sin2211 + s.k.d3210 * sin3210 + s.k.d3222 * sin3222 +
                 s.k.d4410 * sin4410 + s.k.d4422 * sin4422 + s.k.d5220 * sin5220 + s.k.d5232 * sin5232 +
                 s.k.d5421 * sin5421 + s.k.d5433 * sin5433;
        r.xnddt = s.k.d2201 * cos2201 + s.k.d2211 * cos2211 + s.k.d3210 * cos3210 + s.k.d3222 * cos3222 +
                  s.k.d5220 * cos5220 + s.k.d5232 * cos5232 +
                  2.0 * (s.k.d4410 * cos4410 + s.k.d4422 * cos4422 + s.k.d5421 * cos5421 + s.k.d5433 * cos5433);
    }
    r.xnddt = r.xnddt * r.xldot;
}

// The resonance integrator of each lane moved to the last half-day step
// before its time `t`: from where it stopped when that lies between the epoch
// and `t`, otherwise from the epoch (both give the same values).
template <class B, class S> void integrate_resonance(const S &s, const B &t, Resonance<B> &r) {
    constexpr double stepp = 720.0, stepn = -720.0, step2 = 259200.0;
    // A lane goes back to the epoch when its last stop is not on the way to
    // its new time; a lane still at the epoch already holds the epoch's state.
    if (!r.started) {
        r.atime = B(0.0);
        r.xni = B(s.k.no_unkozai);
        r.xli = B(s.k.xlamo);
        resonance_derivatives(s, r);
        r.started = true;
    } else {
        const Mask<B> restart =
            (r.atime != B(0.0)) & ((t * r.atime <= B(0.0)) | (xsimd::abs(t) < xsimd::abs(r.atime)));
        if (xsimd::any(restart)) {
            r.atime = where(restart, B(0.0), r.atime);
            r.xni = where(restart, B(s.k.no_unkozai), r.xni);
            r.xli = where(restart, B(s.k.xlamo), r.xli);
            resonance_derivatives(s, r);
        }
    }
    const B delt = where(t > B(0.0), B(stepp), B(stepn));
    for (;;) {
        const Mask<B> stepping = xsimd::abs(t - r.atime) >= B(stepp);
        if (!xsimd::any(stepping))
            break;
        r.xli = where(stepping, r.xli + r.xldot * delt + r.xndt * step2, r.xli);
        r.xni = where(stepping, r.xni + r.xndt * delt + r.xnddt * step2, r.xni);
        r.atime = where(stepping, r.atime + delt, r.atime);
        resonance_derivatives(s, r);
    }
}

template <class B> struct MeanElements {
    B em, argpm, inclm, mm, nodem, nm, tempa, tempe, templ;
};

// Secular gravity and drag: the mean elements `t` minutes after epoch.
template <class B, class S> MeanElements<B> secular(const S &s, const B &t) {
    MeanElements<B> m;
    const B xmdf = s.k.mo + s.k.mdot * t;
    const B argpdf = s.k.argpo + s.k.argpdot * t;
    const B nodedf = s.k.nodeo + s.k.nodedot * t;
    m.argpm = argpdf;
    m.mm = xmdf;
    const B t2 = t * t;
    m.nodem = nodedf + s.k.nodecf * t2;
    m.tempa = 1.0 - s.k.cc1 * t;
    m.tempe = s.k.bstar * s.k.cc4 * t;
    m.templ = s.k.t2cof * t2;
    if (!s.simple) {
        const B delomg = s.k.omgcof * t;
        const B delmtemp = 1.0 + s.k.eta * xsimd::cos(xmdf);
        const B delm = s.k.xmcof * (delmtemp * delmtemp * delmtemp - s.k.delmo);
        const B temp = delomg + delm;
        m.mm = xmdf + temp;
        m.argpm = argpdf - temp;
        const B t3 = t2 * t;
        const B t4 = t3 * t;
        m.tempa = m.tempa - s.k.d2 * t2 - s.k.d3 * t3 - s.k.d4 * t4;
        m.tempe = m.tempe + s.k.bstar * s.k.cc5 * (xsimd::sin(m.mm) - s.k.sinmao);
        m.templ = m.templ + s.k.t3cof * t3 + t4 * (s.k.t4cof + t * s.k.t5cof);
    }
    m.nm = B(s.k.no_unkozai);
    m.em = B(s.k.ecco);
    m.inclm = B(s.k.inclo);
    return m;
}

// Deep-space secular terms: the lunar-solar rates and, for resonant orbits,
// the mean motion and longitude integrated in half-day steps from the epoch.
// A lane continues from where its last integration stopped when that lies
// between the epoch and its new time, which gives the values a start from the
// epoch gives.
template <class B, class S> void deep_space_secular(const S &s, const B &t, Resonance<B> &r, MeanElements<B> &m) {
    constexpr double rptim = 4.37526908801129966e-3;

    const B theta = reduce(s.k.gsto + t * rptim);
    m.em = m.em + s.k.dedt * t;
    m.inclm = m.inclm + s.k.didt * t;
    m.argpm = m.argpm + s.k.domdt * t;
    m.nodem = m.nodem + s.k.dnodt * t;
    m.mm = m.mm + s.k.dmdt * t;
    if (s.irez == 0)
        return;
    integrate_resonance(s, t, r);
    const B xndt = r.xndt, xldot = r.xldot, xnddt = r.xnddt;
    const B ft = t - r.atime;
    m.nm = r.xni + xndt * ft + xnddt * ft * ft * 0.5;
    const B xl = r.xli + xldot * ft + xndt * ft * ft * 0.5;
    if (s.irez != 1)
        m.mm = xl - 2.0 * m.nodem + 2.0 * theta;
    else
        m.mm = xl - m.nodem - m.argpm + theta;
    const B dndt = m.nm - s.k.no_unkozai;
    m.nm = s.k.no_unkozai + dndt;
}

template <class B> struct PerturbedElements {
    B ep, inclp, nodep, argpp, mp;
};

// Lunar-solar periodic terms at `t` minutes after epoch; also the sine and
// cosine of the perturbed inclination.
template <class B, class S>
void lunar_solar_periodics(const S &s, const B &t, PerturbedElements<B> &p, B &sinip, B &cosip) {
    constexpr double zns = 1.19459e-5, zes = 0.01675, znl = 1.5835218e-4, zel = 0.05490;
    // Solar terms.
    B zm = s.k.zmos + zns * t;
    B zf = zm + 2.0 * zes * xsimd::sin(zm);
    B sinzf, coszf;
    std::tie(sinzf, coszf) = xsimd::sincos(zf);
    B f2 = 0.5 * sinzf * sinzf - 0.25;
    B f3 = -0.5 * sinzf * coszf;
    const B ses = s.k.se2 * f2 + s.k.se3 * f3;
    const B sis = s.k.si2 * f2 + s.k.si3 * f3;
    const B sls = s.k.sl2 * f2 + s.k.sl3 * f3 + s.k.sl4 * sinzf;
    const B sghs = s.k.sgh2 * f2 + s.k.sgh3 * f3 + s.k.sgh4 * sinzf;
    const B shs = s.k.sh2 * f2 + s.k.sh3 * f3;
    // Lunar terms.
    zm = s.k.zmol + znl * t;
    zf = zm + 2.0 * zel * xsimd::sin(zm);
    std::tie(sinzf, coszf) = xsimd::sincos(zf);
    f2 = 0.5 * sinzf * sinzf - 0.25;
    f3 = -0.5 * sinzf * coszf;
    const B sel = s.k.ee2 * f2 + s.k.e3 * f3;
    const B sil = s.k.xi2 * f2 + s.k.xi3 * f3;
    const B sll = s.k.xl2 * f2 + s.k.xl3 * f3 + s.k.xl4 * sinzf;
    const B sghl = s.k.xgh2 * f2 + s.k.xgh3 * f3 + s.k.xgh4 * sinzf;
    const B shll = s.k.xh2 * f2 + s.k.xh3 * f3;

    const B pe = ses + sel - s.k.peo;
    const B pinc = sis + sil - s.k.pinco;
    const B pl = sls + sll - s.k.plo;
    const B pgh = sghs + sghl - s.k.pgho;
    const B ph = shs + shll - s.k.pho;
    p.inclp = p.inclp + pinc;
    p.ep = p.ep + pe;
    std::tie(sinip, cosip) = xsimd::sincos(p.inclp);

    const B mp = p.mp + pl;

    // Inclined orbits: the terms apply to the node and perigee directly.
    const B ph_inclined = ph / sinip;
    const B argpp_inclined = p.argpp + (pgh - cosip * ph_inclined);
    const B nodep_inclined = p.nodep + ph_inclined;
    const Mask<B> inclined = p.inclp >= B(0.2);
    if (xsimd::all(inclined)) {
        p.argpp = argpp_inclined;
        p.nodep = nodep_inclined;
        p.mp = mp;
        return;
    }

    // Near zero inclination the node is ill defined: the terms apply to the
    // components of the inclination vector instead (Lyddane).
    const auto [sinop, cosop] = xsimd::sincos(p.nodep);
    B alfdp = sinip * sinop, betdp = sinip * cosop;
    const B dalf = ph * cosop + pinc * cosip * sinop;
    const B dbet = -ph * sinop + pinc * cosip * cosop;
    alfdp = alfdp + dalf;
    betdp = betdp + dbet;
    B nodep = reduce(p.nodep);
    if (s.mode == Mode::afspc)
        nodep = where(nodep < B(0.0), nodep + twopi, nodep);
    B xls = p.mp + p.argpp + cosip * nodep;
    const B dls = pl + pgh - pinc * nodep * sinip;
    xls = xls + dls;
    const B xnoh = nodep;
    nodep = xsimd::atan2(alfdp, betdp);
    if (s.mode == Mode::afspc)
        nodep = where(nodep < B(0.0), nodep + twopi, nodep);
    const Mask<B> wrapped = xsimd::abs(xnoh - nodep) > B(pi);
    nodep = where(wrapped, where(nodep < xnoh, nodep + twopi, nodep - twopi), nodep);
    const B argpp = xls - mp - cosip * nodep;

    p.argpp = where(inclined, argpp_inclined, argpp);
    p.nodep = where(inclined, nodep_inclined, nodep);
    p.mp = mp;
}

template <class B> struct StateLanes {
    B r[3], v[3];  // km, km/s
    B code;        // the Error of each lane
};

// Mark lanes whose code is still 0 and where `failed` holds with `error`.
template <class B> void fail(B &code, const Mask<B> &failed, Error error) {
    code = where((code == B(0.0)) & failed, B(static_cast<double>(error)), code);
}

// A batch of times up to Kepler's equation: the equation's terms (the mean
// longitude u and axnl, aynl), what the short-period terms take besides, and
// the code of each lane so far.
template <class B> struct LongPeriod {
    B code;
    B u, axnl, aynl;
    B am, nm;
    B nodep, inclp, sinip, cosip;
    B con41, x1mth2, x7thm1;
};

// The mean elements and the long-period terms of one finite satellite at `t`
// minutes after its epoch, one time per lane.
template <class B, class S> LongPeriod<B> long_period(const S &s, B t, Resonance<B> &resonance) {
    const GravityConstants &g = s.g;
    LongPeriod<B> out;
    out.code = B(0.0);
    // A time that is not finite or too far gets its code and is computed as 0
    // so that its lane stays harmless.
    const Mask<B> bad_time = !(xsimd::abs(t) <= B(max_minutes));
    fail(out.code, bad_time, invalid);
    t = where(bad_time, B(0.0), t);

    MeanElements<B> m = secular(s, t);
    if (s.deep_space)
        deep_space_secular(s, t, resonance, m);
    // Each check is the theory's comparison as written, so that a NaN passes
    // it as it does there and ends as a state that is not finite (code 7).
    fail(out.code, m.nm <= B(0.0), mean_motion);
    // Without a resonance the mean motion stays the epoch's, and so does its semi-major axis.
    const B am = (s.irez == 0 ? B(s.k.ao) : xsimd::pow(g.xke / m.nm, B(x2o3))) * m.tempa * m.tempa;
    out.am = am;
    out.nm = g.xke / (am * xsimd::sqrt(am));
    B em = m.em - m.tempe;
    fail(out.code, (em >= B(1.0)) | (em < B(-0.001)), mean_eccentricity);
    // A tiny floor keeps the short-period terms free of a division by zero.
    em = where(em < B(1.0e-6), B(1.0e-6), em);
    const B mm0 = m.mm + s.k.no_unkozai * m.templ;
    const B xlm = reduce(mm0 + m.argpm + m.nodem);
    const B nodem = reduce(m.nodem);
    const B argpm = reduce(m.argpm);
    const B mm = reduce(xlm - argpm - nodem);

    PerturbedElements<B> p{em, m.inclm, nodem, argpm, mm};
    B sinip = B(s.k.sinio), cosip = B(s.k.cosio);
    B aycof = B(s.k.aycof), xlcof = B(s.k.xlcof), con41 = B(s.k.con41), x1mth2 = B(s.k.x1mth2), x7thm1 = B(s.k.x7thm1);
    if (s.deep_space) {
        lunar_solar_periodics(s, t, p, sinip, cosip);
        const Mask<B> retrograde = p.inclp < B(0.0);
        p.inclp = where(retrograde, -p.inclp, p.inclp);
        p.nodep = where(retrograde, p.nodep + pi, p.nodep);
        p.argpp = where(retrograde, p.argpp - pi, p.argpp);
        fail(out.code, (p.ep < B(0.0)) | (p.ep > B(1.0)), perturbed_eccentricity);
        // Flipping the inclination's sign flips only its sine's sign bit
        // (xsimd's sin is odd bit for bit; a negation could give +0 for -0).
        sinip = sinip ^ where(retrograde, B(-0.0), B(0.0));
        aycof = -0.5 * g.j3oj2 * sinip;
        // At 180 degrees of inclination 1 + cos i vanishes: divide by a small constant instead.
        const B one_plus_cos = where(xsimd::abs(cosip + 1.0) > B(1.5e-12), cosip + 1.0, B(1.5e-12));
        xlcof = -0.25 * g.j3oj2 * sinip * (3.0 + 5.0 * cosip) / one_plus_cos;
        const B cosisq = cosip * cosip;
        con41 = 3.0 * cosisq - 1.0;
        x1mth2 = 1.0 - cosisq;
        x7thm1 = 7.0 * cosisq - 1.0;
    }

    // Long-period terms.
    const auto [sinargpp, cosargpp] = xsimd::sincos(p.argpp);
    const B axnl = p.ep * cosargpp;
    B temp = 1.0 / (am * (1.0 - p.ep * p.ep));
    const B aynl = p.ep * sinargpp + temp * aycof;
    const B xl = p.mp + p.argpp + p.nodep + temp * xlcof * axnl;
    out.u = reduce(xl - p.nodep);
    out.axnl = axnl;
    out.aynl = aynl;
    out.nodep = p.nodep;
    out.inclp = p.inclp;
    out.sinip = sinip;
    out.cosip = cosip;
    out.con41 = con41;
    out.x1mth2 = x1mth2;
    out.x7thm1 = x7thm1;
    return out;
}

// Kepler's equation in the theory's equinoctial form for N batches at once:
// the eccentric longitude from the mean longitude u and (axnl, aynl) of each, at
// most ten Newton steps of at most 0.95 rad per lane. Gives its sine and
// cosine at the last iterate each lane evaluated. Each step waits on the one
// before (a sincos and a division): the batches' steps are independent, so
// the CPU overlaps them (flattened: the sincos inline in the loop, not calls
// in turn). A lane's values do not depend on the other lanes
// nor on the other batches: a lane that has converged keeps its values while
// the others iterate.
template <std::size_t N, class B>
[[gnu::flatten]] void solve_kepler(const LongPeriod<B> (&batches)[N], B (&sineo1)[N], B (&coseo1)[N]) {
    B eo1[N];
    Mask<B> active[N];
    for (std::size_t n = 0; n < N; ++n) {
        eo1[n] = batches[n].u;
        active[n] = batches[n].u == batches[n].u;  // NaN lanes have nothing to iterate
        sineo1[n] = B(0.0);
        coseo1[n] = B(0.0);
    }
    auto any_active = [&] {
        Mask<B> any = active[0];
        for (std::size_t n = 1; n < N; ++n)
            any = any | active[n];
        return xsimd::any(any);
    };
    for (int iteration = 0; iteration < 10 && any_active(); ++iteration)
        for (std::size_t n = 0; n < N; ++n) {
            const B &u = batches[n].u, &axnl = batches[n].axnl, &aynl = batches[n].aynl;
            const auto [sine, cosine] = xsimd::sincos(eo1[n]);
            sineo1[n] = where(active[n], sine, sineo1[n]);
            coseo1[n] = where(active[n], cosine, coseo1[n]);
            B tem5 = 1.0 - cosine * axnl - sine * aynl;
            tem5 = (u - aynl * cosine + axnl * sine - eo1[n]) / tem5;
            tem5 = where(xsimd::abs(tem5) >= B(0.95), where(tem5 > B(0.0), B(0.95), B(-0.95)), tem5);
            eo1[n] = where(active[n], eo1[n] + tem5, eo1[n]);
            active[n] = active[n] & (xsimd::abs(tem5) >= B(1.0e-12));
        }
}

// The short-period terms and the state of a batch of times from its long-period
// part `l` and the sine and cosine of its eccentric longitude.
template <class B, class S>
StateLanes<B> short_period(const S &s, const LongPeriod<B> &l, const B &sineo1, const B &coseo1) {
    const GravityConstants &g = s.g;
    const B &am = l.am, &nm = l.nm, &axnl = l.axnl, &aynl = l.aynl;
    const B &sinip = l.sinip, &cosip = l.cosip, &con41 = l.con41, &x1mth2 = l.x1mth2, &x7thm1 = l.x7thm1;
    StateLanes<B> out;
    out.code = l.code;
    // Short-period terms.
    const B ecose = axnl * coseo1 + aynl * sineo1;
    const B esine = axnl * sineo1 - aynl * coseo1;
    const B el2 = axnl * axnl + aynl * aynl;
    const B pl = am * (1.0 - el2);
    fail(out.code, pl < B(0.0), semi_latus_rectum);
    const B rl = am * (1.0 - ecose);
    const B rdotl = xsimd::sqrt(am) * esine / rl;
    const B rvdotl = xsimd::sqrt(pl) / rl;
    const B betal = xsimd::sqrt(1.0 - el2);
    B temp = esine / (1.0 + betal);
    const B sinu = am / rl * (sineo1 - aynl - axnl * temp);
    const B cosu = am / rl * (coseo1 - axnl + aynl * temp);
    B su = xsimd::atan2(sinu, cosu);
    const B sin2u = (cosu + cosu) * sinu;
    const B cos2u = 1.0 - 2.0 * sinu * sinu;
    temp = 1.0 / pl;
    const B temp1 = 0.5 * g.j2 * temp;
    const B temp2 = temp1 * temp;

    const B mrt = rl * (1.0 - 1.5 * temp2 * betal * con41) + 0.5 * temp1 * x1mth2 * cos2u;
    su = su - 0.25 * temp2 * x7thm1 * sin2u;
    const B xnode = l.nodep + 1.5 * temp2 * cosip * sin2u;
    const B xinc = l.inclp + 1.5 * temp2 * cosip * sinip * cos2u;
    const B mvt = rdotl - nm * temp1 * x1mth2 * sin2u / g.xke;
    const B rvdot = rvdotl + nm * temp1 * (x1mth2 * cos2u + 1.5 * con41) / g.xke;
    fail(out.code, mrt < B(1.0), decayed);

    // Orientation: unit vectors along the radius (u) and across it in the plane (v).
    const auto [sinsu, cossu] = xsimd::sincos(su);
    const auto [snod, cnod] = xsimd::sincos(xnode);
    const auto [sini, cosi] = xsimd::sincos(xinc);
    const B xmx = -snod * cosi;
    const B xmy = cnod * cosi;
    const B ux = xmx * sinsu + cnod * cossu;
    const B uy = xmy * sinsu + snod * cossu;
    const B uz = sini * sinsu;
    const B vx = xmx * cossu - cnod * sinsu;
    const B vy = xmy * cossu - snod * sinsu;
    const B vz = sini * cossu;

    const B mr = mrt * g.radiusearthkm;
    const double vkmpersec = g.radiusearthkm * g.xke / 60.0;
    out.r[0] = mr * ux;
    out.r[1] = mr * uy;
    out.r[2] = mr * uz;
    out.v[0] = (mvt * ux + rvdot * vx) * vkmpersec;
    out.v[1] = (mvt * uy + rvdot * vy) * vkmpersec;
    out.v[2] = (mvt * uz + rvdot * vz) * vkmpersec;
    Mask<B> finite = xsimd::isfinite(out.r[0]);
    for (int k = 0; k < 3; ++k)
        finite = finite & xsimd::isfinite(out.r[k]) & xsimd::isfinite(out.v[k]);
    fail(out.code, !finite, invalid);
    return out;
}

// The states of one satellite at N batches of times (`t` minutes after its
// epoch, one time per lane), its resonance integrator carried from each batch
// to the next. Each batch gets the states it would get alone; the batches
// solve Kepler's equation side by side.
template <std::size_t N, class B, class S>
void propagate(const S &s, const B (&t)[N], Resonance<B> &resonance, StateLanes<B> (&out)[N]) {
    if (!s.finite) {
        for (StateLanes<B> &batch : out)
            batch.code = B(static_cast<double>(invalid));
        return;
    }
    LongPeriod<B> l[N];
    for (std::size_t n = 0; n < N; ++n)
        l[n] = long_period(s, t[n], resonance);
    B sineo1[N], coseo1[N];
    solve_kepler(l, sineo1, coseo1);
    for (std::size_t n = 0; n < N; ++n)
        out[n] = short_period(s, l[n], sineo1[n], coseo1[n]);
}

// The states of one satellite at `t` minutes after its epoch, one time per lane.
template <class B, class S> StateLanes<B> propagate(const S &s, const B &t, Resonance<B> &resonance) {
    const B times[1] = {t};
    StateLanes<B> out[1];
    propagate(s, times, resonance, out);
    return out[0];
}

}  // namespace astrokite::sgp4::lanes
