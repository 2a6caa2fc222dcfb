// The SGP4/SDP4 analytical theory of Earth satellites from two-line element
// sets (Hoots and Roehrich 1980, with the corrections of Vallado, Crawford,
// Hujsak and Kelso 2006): near-Earth secular drag and gravity terms, the
// deep-space lunar-solar terms and the 12-hour and 24-hour geopotential
// resonances, Kepler's equation and the short-period terms. Plain C++: no
// Python in here.
//
// This header holds the constants and the initialisation, done once per
// element set; the terms that depend on the time run over SIMD lanes in
// sgp4_lanes.hpp. Units are the theory's own: Earth radii and minutes inside,
// kilometres and kilometres per second out (the caller scales to SI).
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>

namespace astrokite::sgp4 {

inline constexpr double pi = std::numbers::pi;
inline constexpr double twopi = 2.0 * std::numbers::pi;
inline constexpr double x2o3 = 2.0 / 3.0;

// Earth models the element sets are fitted with.
enum class Gravity { wgs72old, wgs72, wgs84 };

struct GravityConstants {
    double mu;             // km^3/s^2
    double radiusearthkm;  // km
    double xke;            // sqrt(mu) in Earth radii^1.5 per minute
    double j2, j3, j4, j3oj2;
};

inline GravityConstants gravity_constants(Gravity model) {
    struct Defining {
        double mu, radiusearthkm, j2, j3, j4;
    };
    static constexpr Defining wgs72{398600.8, 6378.135, 0.001082616, -0.00000253881, -0.00000165597};
    static constexpr Defining wgs84{398600.5, 6378.137, 0.00108262998905, -0.00000253215306, -0.00000161098761};
    // The old WGS-72 set: WGS-72's radius and zonal terms with a rounded mu and xke.
    static constexpr Defining wgs72old{398600.79964, wgs72.radiusearthkm, wgs72.j2, wgs72.j3, wgs72.j4};
    const Defining &d = model == Gravity::wgs84 ? wgs84 : model == Gravity::wgs72 ? wgs72 : wgs72old;
    const double xke = model == Gravity::wgs72old
                           ? 0.0743669161
                           : 60.0 / std::sqrt(d.radiusearthkm * d.radiusearthkm * d.radiusearthkm / d.mu);
    return {d.mu, d.radiusearthkm, xke, d.j2, d.j3, d.j4, d.j3 / d.j2};
}

// "afspc" reproduces the operational Air Force code (its sidereal time at
// epoch and its node reduction near zero inclination); "improved" uses the
// IAU sidereal time and leaves the node unreduced.
enum class Mode { afspc, improved };

// Why a sample has no state. Code 5 (elements below the surface at epoch) is
// kept for its number but never raised: the decay check (6) covers it.
enum Error : std::int8_t {
    ok = 0,
    mean_eccentricity = 1,       // mean eccentricity outside [-0.001, 1)
    mean_motion = 2,             // mean motion not positive
    perturbed_eccentricity = 3,  // eccentricity outside [0, 1] after the lunar-solar terms
    semi_latus_rectum = 4,       // semi-latus rectum negative
    suborbital = 5,
    decayed = 6,                 // radius below the Earth's surface
    invalid = 7,                 // time not finite or too far from the epoch, or no finite state
};

// Beyond about 380 years from the epoch (more than Time spans) the theory means nothing, and the
// resonance integrator would take millions of steps to get there.
inline constexpr double max_minutes = 2.0e8;

// The mean elements of one set, in radians and radians per minute; the epoch
// in days since 1949-12-31T00:00 UTC.
struct Elements {
    double epoch;
    double bstar;  // 1/Earth radii
    double ecco, argpo, inclo, mo, no_kozai, nodeo;
};

// The numbers of one element set that the time-dependent terms read: doubles
// here, one lane per element set (T a SIMD batch) when a kernel propagates
// several sets at once. Only T members, so that the doubles form an array.
template <class T> struct Coefficients {
    // Mean elements, and the semi-major axis (Earth radii) and inclination's
    // sine and cosine at epoch.
    T bstar, ecco, argpo, inclo, mo, no_unkozai, nodeo;
    T ao, sinio, cosio;
    // Near-Earth constants.
    T aycof, con41, cc1, cc4, cc5, d2, d3, d4, delmo, eta, argpdot, omgcof, sinmao, t2cof, t3cof, t4cof, t5cof,
        x1mth2, x7thm1, mdot, nodedot, xlcof, xmcof, nodecf;
    // Deep-space constants.
    T d2201, d2211, d3210, d3222, d4410, d4422, d5220, d5232, d5421, d5433, dedt, del1, del2, del3, didt, dmdt,
        dnodt, domdt, e3, ee2, peo, pgho, pho, pinco, plo, se2, se3, sgh2, sgh3, sgh4, sh2, sh3, si2, si3, sl2,
        sl3, sl4, gsto, xfact, xgh2, xgh3, xgh4, xh2, xh3, xi2, xi3, xl2, xl3, xl4, xlamo, zmol, zmos;
};

// Everything the theory derives from one element set once, before any time.
struct Satellite {
    GravityConstants g;
    Mode mode;
    bool deep_space;  // period of 225 minutes or more
    bool simple;      // perigee below 220 km, or deep space: drop the higher drag terms
    bool finite;      // every element finite: otherwise no time gives a state
    int irez;         // 0 no resonance, 1 the 24-hour one, 2 the 12-hour one
    Coefficients<double> k;
};

// Sidereal time (radians) at a UT1 Julian date, IAU 1982.
inline double sidereal_time(double jdut1) {
    constexpr double deg2rad = pi / 180.0;
    const double tut1 = (jdut1 - 2451545.0) / 36525.0;
    double temp = -6.2e-6 * tut1 * tut1 * tut1 + 0.093104 * tut1 * tut1 +
                  (876600.0 * 3600 + 8640184.812866) * tut1 + 67310.54841;  // seconds
    temp = std::fmod(temp * deg2rad / 240.0, twopi);
    if (temp < 0.0)
        temp += twopi;
    return temp;
}

// The operational code's sidereal time at an epoch in days since 1950.
inline double sidereal_time_afspc(double epoch) {
    const double ts70 = epoch - 7305.0;
    const double ds70 = std::floor(ts70 + 1.0e-8);
    const double tfrac = ts70 - ds70;
    constexpr double c1 = 1.72027916940703639e-2;
    constexpr double thgr70 = 1.7321343856509374;
    constexpr double fk5r = 5.07551419432269442e-15;
    const double c1p2p = c1 + twopi;
    double gsto = std::fmod(thgr70 + c1 * ds70 + c1p2p * tfrac + ts70 * ts70 * fk5r, twopi);
    if (gsto < 0.0)
        gsto += twopi;
    return gsto;
}

// Common deep-space quantities at epoch: the lunar and solar coefficients of
// the long-period terms and the secular rates derived from them.
struct DeepSpaceCommon {
    double snodm, cnodm, sinim, cosim, sinomm, cosomm, emsq, rtemsq;
    double s1, s2, s3, s4, s5, ss1, ss2, ss3, ss4, ss5;
    double sz1, sz3, sz11, sz13, sz21, sz23, sz31, sz33;
    double z1, z3, z11, z13, z21, z23, z31, z33;
};

inline DeepSpaceCommon deep_space_common(Satellite &s, double epoch) {
    constexpr double zes = 0.01675, zel = 0.05490, c1ss = 2.9864797e-6, c1l = 4.7968065e-7;
    constexpr double zsinis = 0.39785416, zcosis = 0.91744867, zcosgs = 0.1945905, zsings = -0.98088458;
    DeepSpaceCommon c{};
    const double em = s.k.ecco, nm = s.k.no_unkozai;
    c.snodm = std::sin(s.k.nodeo);
    c.cnodm = std::cos(s.k.nodeo);
    c.sinomm = std::sin(s.k.argpo);
    c.cosomm = std::cos(s.k.argpo);
    c.sinim = std::sin(s.k.inclo);
    c.cosim = std::cos(s.k.inclo);
    c.emsq = em * em;
    const double betasq = 1.0 - c.emsq;
    c.rtemsq = std::sqrt(betasq);

    // The Moon's orbit at epoch.
    const double day = epoch + 18261.5;
    const double xnodce = std::fmod(4.5236020 - 9.2422029e-4 * day, twopi);
    const double stem = std::sin(xnodce), ctem = std::cos(xnodce);
    const double zcosil = 0.91375164 - 0.03568096 * ctem;
    const double zsinil = std::sqrt(1.0 - zcosil * zcosil);
    const double zsinhl = 0.089683511 * stem / zsinil;
    const double zcoshl = std::sqrt(1.0 - zsinhl * zsinhl);
    const double gam = 5.8351514 + 0.0019443680 * day;
    double zx = 0.39785416 * stem / zsinil;
    const double zy = zcoshl * ctem + 0.91744867 * zsinhl * stem;
    zx = std::atan2(zx, zy);
    zx = gam + zx - xnodce;
    const double zcosgl = std::cos(zx), zsingl = std::sin(zx);

    // The same coefficients for the Sun (first pass) and the Moon (second).
    double zcosg = zcosgs, zsing = zsings, zcosi = zcosis, zsini = zsinis, zcosh = c.cnodm, zsinh = c.snodm;
    double cc = c1ss;
    const double xnoi = 1.0 / nm;
    double z2 = 0, z12 = 0, z22 = 0, z32 = 0, s6 = 0, s7 = 0;
    double sz2 = 0, sz12 = 0, sz22 = 0, sz32 = 0, ss6 = 0, ss7 = 0;
    for (int body = 0; body < 2; ++body) {
        const double a1 = zcosg * zcosh + zsing * zcosi * zsinh;
        const double a3 = -zsing * zcosh + zcosg * zcosi * zsinh;
        const double a7 = -zcosg * zsinh + zsing * zcosi * zcosh;
        const double a8 = zsing * zsini;
        const double a9 = zsing * zsinh + zcosg * zcosi * zcosh;
        const double a10 = zcosg * zsini;
        const double a2 = c.cosim * a7 + c.sinim * a8;
        const double a4 = c.cosim * a9 + c.sinim * a10;
        const double a5 = -c.sinim * a7 + c.cosim * a8;
        const double a6 = -c.sinim * a9 + c.cosim * a10;

        const double x1 = a1 * c.cosomm + a2 * c.sinomm;
        const double x2 = a3 * c.cosomm + a4 * c.sinomm;
        const double x3 = -a1 * c.sinomm + a2 * c.cosomm;
        const double x4 = -a3 * c.sinomm + a4 * c.cosomm;
        const double x5 = a5 * c.sinomm;
        const double x6 = a6 * c.sinomm;
        const double x7 = a5 * c.cosomm;
        const double x8 = a6 * c.cosomm;

        c.z31 = 12.0 * x1 * x1 - 3.0 * x3 * x3;
        z32 = 24.0 * x1 * x2 - 6.0 * x3 * x4;
        c.z33 = 12.0 * x2 * x2 - 3.0 * x4 * x4;
        c.z1 = 3.0 * (a1 * a1 + a2 * a2) + c.z31 * c.emsq;
        z2 = 6.0 * (a1 * a3 + a2 * a4) + z32 * c.emsq;
        c.z3 = 3.0 * (a3 * a3 + a4 * a4) + c.z33 * c.emsq;
        c.z11 = -6.0 * a1 * a5 + c.emsq * (-24.0 * x1 * x7 - 6.0 * x3 * x5);
        z12 = -6.0 * (a1 * a6 + a3 * a5) + c.emsq * (-24.0 * (x2 * x7 + x1 * x8) - 6.0 * (x3 * x6 + x4 * x5));
        c.z13 = -6.0 * a3 * a6 + c.emsq * (-24.0 * x2 * x8 - 6.0 * x4 * x6);
        c.z21 = 6.0 * a2 * a5 + c.emsq * (24.0 * x1 * x5 - 6.0 * x3 * x7);
        z22 = 6.0 * (a4 * a5 + a2 * a6) + c.emsq * (24.0 * (x2 * x5 + x1 * x6) - 6.0 * (x4 * x7 + x3 * x8));
        c.z23 = 6.0 * a4 * a6 + c.emsq * (24.0 * x2 * x6 - 6.0 * x4 * x8);
        c.z1 = c.z1 + c.z1 + betasq * c.z31;
        z2 = z2 + z2 + betasq * z32;
        c.z3 = c.z3 + c.z3 + betasq * c.z33;
        c.s3 = cc * xnoi;
        c.s2 = -0.5 * c.s3 / c.rtemsq;
        c.s4 = c.s3 * c.rtemsq;
        c.s1 = -15.0 * em * c.s4;
        c.s5 = x1 * x3 + x2 * x4;
        s6 = x2 * x3 + x1 * x4;
        s7 = x2 * x4 - x1 * x3;

        if (body == 0) {
            c.ss1 = c.s1, c.ss2 = c.s2, c.ss3 = c.s3, c.ss4 = c.s4, c.ss5 = c.s5, ss6 = s6, ss7 = s7;
            c.sz1 = c.z1, sz2 = z2, c.sz3 = c.z3;
            c.sz11 = c.z11, sz12 = z12, c.sz13 = c.z13;
            c.sz21 = c.z21, sz22 = z22, c.sz23 = c.z23;
            c.sz31 = c.z31, sz32 = z32, c.sz33 = c.z33;
            zcosg = zcosgl;
            zsing = zsingl;
            zcosi = zcosil;
            zsini = zsinil;
            zcosh = zcoshl * c.cnodm + zsinhl * c.snodm;
            zsinh = c.snodm * zcoshl - c.cnodm * zsinhl;
            cc = c1l;
        }
    }
    s.k.zmol = std::fmod(4.7199672 + 0.22997150 * day - gam, twopi);
    s.k.zmos = std::fmod(6.2565837 + 0.017201977 * day, twopi);

    // Solar long-period coefficients.
    s.k.se2 = 2.0 * c.ss1 * ss6;
    s.k.se3 = 2.0 * c.ss1 * ss7;
    s.k.si2 = 2.0 * c.ss2 * sz12;
    s.k.si3 = 2.0 * c.ss2 * (c.sz13 - c.sz11);
    s.k.sl2 = -2.0 * c.ss3 * sz2;
    s.k.sl3 = -2.0 * c.ss3 * (c.sz3 - c.sz1);
    s.k.sl4 = -2.0 * c.ss3 * (-21.0 - 9.0 * c.emsq) * zes;
    s.k.sgh2 = 2.0 * c.ss4 * sz32;
    s.k.sgh3 = 2.0 * c.ss4 * (c.sz33 - c.sz31);
    s.k.sgh4 = -18.0 * c.ss4 * zes;
    s.k.sh2 = -2.0 * c.ss2 * sz22;
    s.k.sh3 = -2.0 * c.ss2 * (c.sz23 - c.sz21);
    // Lunar long-period coefficients.
    s.k.ee2 = 2.0 * c.s1 * s6;
    s.k.e3 = 2.0 * c.s1 * s7;
    s.k.xi2 = 2.0 * c.s2 * z12;
    s.k.xi3 = 2.0 * c.s2 * (c.z13 - c.z11);
    s.k.xl2 = -2.0 * c.s3 * z2;
    s.k.xl3 = -2.0 * c.s3 * (c.z3 - c.z1);
    s.k.xl4 = -2.0 * c.s3 * (-21.0 - 9.0 * c.emsq) * zel;
    s.k.xgh2 = 2.0 * c.s4 * z32;
    s.k.xgh3 = 2.0 * c.s4 * (c.z33 - c.z31);
    s.k.xgh4 = -18.0 * c.s4 * zel;
    s.k.xh2 = -2.0 * c.s2 * z22;
    s.k.xh3 = -2.0 * c.s2 * (c.z23 - c.z21);
    // The long-period terms at epoch, which the theory subtracts, are taken as zero.
    s.k.peo = s.k.pinco = s.k.plo = s.k.pgho = s.k.pho = 0.0;
    return c;
}

// Deep-space secular rates and the resonance coefficients, at epoch.
inline void deep_space_init(Satellite &s, const DeepSpaceCommon &c, double eccsq, double xpidot) {
    constexpr double q22 = 1.7891679e-6, q31 = 2.1460748e-6, q33 = 2.2123015e-7;
    constexpr double root22 = 1.7891679e-6, root44 = 7.3636953e-9, root54 = 2.1765803e-9;
    constexpr double rptim = 4.37526908801129966e-3;  // Earth rotation, rad/min
    constexpr double root32 = 3.7393792e-7, root52 = 1.1428639e-7;
    constexpr double znl = 1.5835218e-4, zns = 1.19459e-5;
    const double nm = s.k.no_unkozai, em = s.k.ecco, emsq = c.emsq, sinim = c.sinim, cosim = c.cosim;
    const double inclm = s.k.inclo;

    s.irez = 0;
    if (nm < 0.0052359877 && nm > 0.0034906585)
        s.irez = 1;
    if (nm >= 8.26e-3 && nm <= 9.24e-3 && em >= 0.5)
        s.irez = 2;

    // Solar secular rates.
    const double ses = c.ss1 * zns * c.ss5;
    const double sis = c.ss2 * zns * (c.sz11 + c.sz13);
    const double sls = -zns * c.ss3 * (c.sz1 + c.sz3 - 14.0 - 6.0 * emsq);
    const double sghs = c.ss4 * zns * (c.sz31 + c.sz33 - 6.0);
    double shs = -zns * c.ss2 * (c.sz21 + c.sz23);
    // The node is undefined at 0 and 180 degrees of inclination.
    const bool polar_node = inclm < 5.2359877e-2 || inclm > pi - 5.2359877e-2;
    if (polar_node)
        shs = 0.0;
    if (sinim != 0.0)
        shs = shs / sinim;
    const double sgs = sghs - cosim * shs;

    // Lunar secular rates.
    s.k.dedt = ses + c.s1 * znl * c.s5;
    s.k.didt = sis + c.s2 * znl * (c.z11 + c.z13);
    s.k.dmdt = sls - znl * c.s3 * (c.z1 + c.z3 - 14.0 - 6.0 * emsq);
    const double sghl = c.s4 * znl * (c.z31 + c.z33 - 6.0);
    double shll = -znl * c.s2 * (c.z21 + c.z23);
    if (polar_node)
        shll = 0.0;
    s.k.domdt = sgs + sghl;
    s.k.dnodt = shs;
    if (sinim != 0.0) {
        s.k.domdt = s.k.domdt - cosim / sinim * shll;
        s.k.dnodt = s.k.dnodt + shll / sinim;
    }

    const double theta = std::fmod(s.k.gsto, twopi);
    s.k.d2201 = s.k.d2211 = s.k.d3210 = s.k.d3222 = s.k.d4410 = s.k.d4422 = 0;
    s.k.d5220 = s.k.d5232 = s.k.d5421 = s.k.d5433 = s.k.del1 = s.k.del2 = s.k.del3 = 0;
    s.k.xfact = s.k.xlamo = 0;
    if (s.irez == 0)
        return;
    const double aonv = std::pow(nm / s.g.xke, x2o3);

    if (s.irez == 2) {
        // Geopotential resonance of 12-hour orbits, with the epoch eccentricity.
        const double cosisq = cosim * cosim;
        const double e = s.k.ecco, esq = eccsq;
        const double eoc = e * esq;
        const double g201 = -0.306 - (e - 0.64) * 0.440;
        double g211, g310, g322, g410, g422, g520, g533, g521, g532;
        if (e <= 0.65) {
            g211 = 3.616 - 13.2470 * e + 16.2900 * esq;
            g310 = -19.302 + 117.3900 * e - 228.4190 * esq + 156.5910 * eoc;
            g322 = -18.9068 + 109.7927 * e - 214.6334 * esq + 146.5816 * eoc;
            g410 = -41.122 + 242.6940 * e - 471.0940 * esq + 313.9530 * eoc;
            g422 = -146.407 + 841.8800 * e - 1629.014 * esq + 1083.4350 * eoc;
            g520 = -532.114 + 3017.977 * e - 5740.032 * esq + 3708.2760 * eoc;
        } else {
            g211 = -72.099 + 331.819 * e - 508.738 * esq + 266.724 * eoc;
            g310 = -346.844 + 1582.851 * e - 2415.925 * esq + 1246.113 * eoc;
            g322 = -342.585 + 1554.908 * e - 2366.899 * esq + 1215.972 * eoc;
            g410 = -1052.797 + 4758.686 * e - 7193.992 * esq + 3651.957 * eoc;
            g422 = -3581.690 + 16178.110 * e - 24462.770 * esq + 12422.520 * eoc;
            if (e > 0.715)
                g520 = -5149.66 + 29936.92 * e - 54087.36 * esq + 31324.56 * eoc;
            else
                g520 = 1464.74 - 4664.75 * e + 3763.64 * esq;
        }
        if (e < 0.7) {
            g533 = -919.22770 + 4988.6100 * e - 9064.7700 * esq + 5542.21 * eoc;
            g521 = -822.71072 + 4568.6173 * e - 8491.4146 * esq + 5337.524 * eoc;
            g532 = -853.66600 + 4690.2500 * e - 8624.7700 * esq + 5341.4 * eoc;
        } else {
            g533 = -37995.780 + 161616.52 * e - 229838.20 * esq + 109377.94 * eoc;
            g521 = -51752.104 + 218913.95 * e - 309468.16 * esq + 146349.42 * eoc;
            g532 = -40023.880 + 170470.89 * e - 242699.48 * esq + 115605.82 * eoc;
        }
        const double sini2 = sinim * sinim;
        const double f220 = 0.75 * (1.0 + 2.0 * cosim + cosisq);
        const double f221 = 1.5 * sini2;
        const double f321 = 1.875 * sinim * (1.0 - 2.0 * cosim - 3.0 * cosisq);
        const double f322 = -1.875 * sinim * (1.0 + 2.0 * cosim - 3.0 * cosisq);
        const double f441 = 35.0 * sini2 * f220;
        const double f442 = 39.3750 * sini2 * sini2;
        const double f522 = 9.84375 * sinim *
                            (sini2 * (1.0 - 2.0 * cosim - 5.0 * cosisq) + 0.33333333 * (-2.0 + 4.0 * cosim + 6.0 * cosisq));
        const double f523 = sinim * (4.92187512 * sini2 * (-2.0 - 4.0 * cosim + 10.0 * cosisq) +
                                     6.56250012 * (1.0 + 2.0 * cosim - 3.0 * cosisq));
        const double f542 = 29.53125 * sinim * (2.0 - 8.0 * cosim + cosisq * (-12.0 + 8.0 * cosim + 10.0 * cosisq));
        const double f543 = 29.53125 * sinim * (-2.0 - 8.0 * cosim + cosisq * (12.0 + 8.0 * cosim - 10.0 * cosisq));
        const double xno2 = nm * nm;
        const double ainv2 = aonv * aonv;
        double temp1 = 3.0 * xno2 * ainv2;
        double temp = temp1 * root22;
        s.k.d2201 = temp * f220 * g201;
        s.k.d2211 = temp * f221 * g211;
        temp1 = temp1 * aonv;
        temp = temp1 * root32;
        s.k.d3210 = temp * f321 * g310;
        s.k.d3222 = temp * f322 * g322;
        temp1 = temp1 * aonv;
        temp = 2.0 * temp1 * root44;
        s.k.d4410 = temp * f441 * g410;
        s.k.d4422 = temp * f442 * g422;
        temp1 = temp1 * aonv;
        temp = temp1 * root52;
        s.k.d5220 = temp * f522 * g520;
        s.k.d5232 = temp * f523 * g532;
        temp = 2.0 * temp1 * root54;
        s.k.d5421 = temp * f542 * g521;
        s.k.d5433 = temp * f543 * g533;
        s.k.xlamo = std::fmod(s.k.mo + s.k.nodeo + s.k.nodeo - theta - theta, twopi);
        s.k.xfact = s.k.mdot + s.k.dmdt + 2.0 * (s.k.nodedot + s.k.dnodt - rptim) - s.k.no_unkozai;
    } else {
        // Synchronous (24-hour) resonance.
        const double g200 = 1.0 + emsq * (-2.5 + 0.8125 * emsq);
        const double g310 = 1.0 + 2.0 * emsq;
        const double g300 = 1.0 + emsq * (-6.0 + 6.60937 * emsq);
        const double f220 = 0.75 * (1.0 + cosim) * (1.0 + cosim);
        const double f311 = 0.9375 * sinim * sinim * (1.0 + 3.0 * cosim) - 0.75 * (1.0 + cosim);
        double f330 = 1.0 + cosim;
        f330 = 1.875 * f330 * f330 * f330;
        s.k.del1 = 3.0 * nm * nm * aonv * aonv;
        s.k.del2 = 2.0 * s.k.del1 * f220 * g200 * q22;
        s.k.del3 = 3.0 * s.k.del1 * f330 * g300 * q33 * aonv;
        s.k.del1 = s.k.del1 * f311 * g310 * q31 * aonv;
        s.k.xlamo = std::fmod(s.k.mo + s.k.nodeo + s.k.argpo - theta, twopi);
        s.k.xfact = s.k.mdot + xpidot - rptim + s.k.dmdt + s.k.domdt + s.k.dnodt - s.k.no_unkozai;
    }
}

// Everything that depends only on the element set: the recovered mean motion
// and semi-major axis, the drag and gravity coefficients and, for periods of
// 225 minutes or more, the deep-space ones.
inline Satellite initialise(const Elements &e, Gravity model, Mode mode) {
    Satellite s{};
    s.g = gravity_constants(model);
    const GravityConstants &g = s.g;
    s.mode = mode;
    s.k.bstar = e.bstar;
    s.k.ecco = e.ecco;
    s.k.argpo = e.argpo;
    s.k.inclo = e.inclo;
    s.k.mo = e.mo;
    s.k.nodeo = e.nodeo;
    s.finite = std::isfinite(e.epoch) && std::isfinite(e.bstar) && std::isfinite(e.ecco) &&
               std::isfinite(e.argpo) && std::isfinite(e.inclo) && std::isfinite(e.mo) &&
               std::isfinite(e.no_kozai) && std::isfinite(e.nodeo);

    const double ss = 78.0 / g.radiusearthkm + 1.0;
    const double qzms2t = std::pow((120.0 - 78.0) / g.radiusearthkm, 4);
    const double temp4 = 1.5e-12;

    // Recover the original mean motion and semi-major axis from the Kozai mean motion.
    const double eccsq = e.ecco * e.ecco;
    const double omeosq = 1.0 - eccsq;
    const double rteosq = std::sqrt(omeosq);
    const double cosio = std::cos(e.inclo);
    const double cosio2 = cosio * cosio;
    const double ak = std::pow(g.xke / e.no_kozai, x2o3);
    const double d1 = 0.75 * g.j2 * (3.0 * cosio2 - 1.0) / (rteosq * omeosq);
    double del = d1 / (ak * ak);
    const double adel = ak * (1.0 - del * del - del * (1.0 / 3.0 + 134.0 * del * del / 81.0));
    del = d1 / (adel * adel);
    s.k.no_unkozai = e.no_kozai / (1.0 + del);
    const double ao = std::pow(g.xke / s.k.no_unkozai, x2o3);
    const double sinio = std::sin(e.inclo);
    s.k.ao = ao;
    s.k.sinio = sinio;
    s.k.cosio = cosio;
    const double po = ao * omeosq;
    const double con42 = 1.0 - 5.0 * cosio2;
    s.k.con41 = -con42 - cosio2 - cosio2;
    const double posq = po * po;
    const double rp = ao * (1.0 - e.ecco);
    s.k.gsto = mode == Mode::afspc ? sidereal_time_afspc(e.epoch) : sidereal_time(e.epoch + 2433281.5);

    // Drag: the atmosphere's density parameter follows the perigee height.
    s.simple = rp < 220.0 / g.radiusearthkm + 1.0;
    double sfour = ss, qzms24 = qzms2t;
    const double perige = (rp - 1.0) * g.radiusearthkm;
    if (perige < 156.0) {
        sfour = perige - 78.0;
        if (perige < 98.0)
            sfour = 20.0;
        qzms24 = std::pow((120.0 - sfour) / g.radiusearthkm, 4);
        sfour = sfour / g.radiusearthkm + 1.0;
    }
    const double pinvsq = 1.0 / posq;
    const double tsi = 1.0 / (ao - sfour);
    s.k.eta = ao * e.ecco * tsi;
    const double etasq = s.k.eta * s.k.eta;
    const double eeta = e.ecco * s.k.eta;
    const double psisq = std::fabs(1.0 - etasq);
    const double coef = qzms24 * std::pow(tsi, 4);
    const double coef1 = coef / std::pow(psisq, 3.5);
    const double cc2 = coef1 * s.k.no_unkozai *
                       (ao * (1.0 + 1.5 * etasq + eeta * (4.0 + etasq)) +
                        0.375 * g.j2 * tsi / psisq * s.k.con41 * (8.0 + 3.0 * etasq * (8.0 + etasq)));
    s.k.cc1 = e.bstar * cc2;
    double cc3 = 0.0;
    if (e.ecco > 1.0e-4)
        cc3 = -2.0 * coef * tsi * g.j3oj2 * s.k.no_unkozai * sinio / e.ecco;
    s.k.x1mth2 = 1.0 - cosio2;
    s.k.cc4 = 2.0 * s.k.no_unkozai * coef1 * ao * omeosq *
            (s.k.eta * (2.0 + 0.5 * etasq) + e.ecco * (0.5 + 2.0 * etasq) -
             g.j2 * tsi / (ao * psisq) *
                 (-3.0 * s.k.con41 * (1.0 - 2.0 * eeta + etasq * (1.5 - 0.5 * eeta)) +
                  0.75 * s.k.x1mth2 * (2.0 * etasq - eeta * (1.0 + etasq)) * std::cos(2.0 * e.argpo)));
    s.k.cc5 = 2.0 * coef1 * ao * omeosq * (1.0 + 2.75 * (etasq + eeta) + eeta * etasq);

    // Secular rates of the mean anomaly, perigee and node from J2 and J4.
    const double cosio4 = cosio2 * cosio2;
    const double temp1 = 1.5 * g.j2 * pinvsq * s.k.no_unkozai;
    const double temp2 = 0.5 * temp1 * g.j2 * pinvsq;
    const double temp3 = -0.46875 * g.j4 * pinvsq * pinvsq * s.k.no_unkozai;
    s.k.mdot = s.k.no_unkozai + 0.5 * temp1 * rteosq * s.k.con41 +
             0.0625 * temp2 * rteosq * (13.0 - 78.0 * cosio2 + 137.0 * cosio4);
    s.k.argpdot = -0.5 * temp1 * con42 + 0.0625 * temp2 * (7.0 - 114.0 * cosio2 + 395.0 * cosio4) +
                temp3 * (3.0 - 36.0 * cosio2 + 49.0 * cosio4);
    const double xhdot1 = -temp1 * cosio;
    s.k.nodedot = xhdot1 + (0.5 * temp2 * (4.0 - 19.0 * cosio2) + 2.0 * temp3 * (3.0 - 7.0 * cosio2)) * cosio;
    const double xpidot = s.k.argpdot + s.k.nodedot;
    s.k.omgcof = e.bstar * cc3 * std::cos(e.argpo);
    s.k.xmcof = 0.0;
    if (e.ecco > 1.0e-4)
        s.k.xmcof = -x2o3 * coef * e.bstar / eeta;
    s.k.nodecf = 3.5 * omeosq * xhdot1 * s.k.cc1;
    s.k.t2cof = 1.5 * s.k.cc1;
    // At 180 degrees of inclination 1 + cos i vanishes: divide by a small constant instead.
    if (std::fabs(cosio + 1.0) > 1.5e-12)
        s.k.xlcof = -0.25 * g.j3oj2 * sinio * (3.0 + 5.0 * cosio) / (1.0 + cosio);
    else
        s.k.xlcof = -0.25 * g.j3oj2 * sinio * (3.0 + 5.0 * cosio) / temp4;
    s.k.aycof = -0.5 * g.j3oj2 * sinio;
    const double delmotemp = 1.0 + s.k.eta * std::cos(e.mo);
    s.k.delmo = delmotemp * delmotemp * delmotemp;
    s.k.sinmao = std::sin(e.mo);
    s.k.x7thm1 = 7.0 * cosio2 - 1.0;

    s.deep_space = twopi / s.k.no_unkozai >= 225.0;
    if (s.deep_space) {
        s.simple = true;
        const DeepSpaceCommon common = deep_space_common(s, e.epoch);
        deep_space_init(s, common, eccsq, xpidot);
    }

    if (!s.simple) {
        const double cc1sq = s.k.cc1 * s.k.cc1;
        s.k.d2 = 4.0 * ao * tsi * cc1sq;
        const double temp = s.k.d2 * tsi * s.k.cc1 / 3.0;
        s.k.d3 = (17.0 * ao + sfour) * temp;
        s.k.d4 = 0.5 * temp * ao * tsi * (221.0 * ao + 31.0 * sfour) * s.k.cc1;
        s.k.t3cof = s.k.d2 + 2.0 * cc1sq;
        s.k.t4cof = 0.25 * (3.0 * s.k.d3 + s.k.cc1 * (12.0 * s.k.d2 + 10.0 * cc1sq));
        s.k.t5cof = 0.2 * (3.0 * s.k.d4 + 12.0 * s.k.cc1 * s.k.d3 + 6.0 * s.k.d2 * s.k.d2 + 15.0 * cc1sq * (2.0 * s.k.d2 + cc1sq));
    }
    return s;
}

}  // namespace astrokite::sgp4
