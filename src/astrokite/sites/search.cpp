// Python binding of the pass search: TEME states in, requests and passes out as
// arrays; and the whole search of SGP4 element sets in one call.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/common/arrays.hpp"
#include "astrokite/eop/table_binding.hpp"
#include "astrokite/frames/transforms.hpp"
#include "astrokite/sites/passes.hpp"
#include "astrokite/sites/sgp4_passes.hpp"
#include "astrokite/sites/visibility.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace fr = astrokite::frames;
namespace st = astrokite::sites;
using namespace astrokite::arrays;

namespace {

fr::Vec3 vec(const Doubles &a, const char *name) {
    if (a.ndim() != 1 || a.shape(0) != 3 ||
        !(std::isfinite(a.data()[0]) && std::isfinite(a.data()[1]) && std::isfinite(a.data()[2])))
        throw nb::value_error((std::string(name) + " must be 3 finite numbers").c_str());
    return {a.data()[0], a.data()[1], a.data()[2]};
}

// Arrays row, rise, culmination, set, max_elevation and flags of passes.
nb::dict columns(const std::vector<st::Pass> &found) {
    std::vector<int64_t> row, rise, culmination, set;
    std::vector<double> elevation;
    std::vector<uint8_t> flags;
    for (const st::Pass &p : found) {
        row.push_back(p.satellite);
        rise.push_back(p.rise), culmination.push_back(p.culmination), set.push_back(p.set);
        elevation.push_back(p.max_elevation), flags.push_back(p.flags);
    }
    nb::dict out;
    out["row"] = to_array(std::move(row));
    out["rise"] = to_array(std::move(rise));
    out["culmination"] = to_array(std::move(culmination));
    out["set"] = to_array(std::move(set));
    out["max_elevation"] = to_array(std::move(elevation));
    out["flags"] = to_array(std::move(flags));
    return out;
}

// The visibility columns of passes into `out`: sunlit, sun_elevation and
// range_rate (passes, 3); visible, visible_start and visible_stop;
// culmination_position and culmination_sun (passes, 3).
void add_seen(nb::dict &out, const std::vector<st::Seen> &seen) {
    const size_t n = seen.size();
    std::vector<double> sunlit(3 * n), elevation(3 * n), rate(3 * n), position(3 * n), sun(3 * n);
    std::vector<uint8_t> visible(n);
    std::vector<int64_t> start(n), stop(n);
    for (size_t p = 0; p < n; ++p) {
        const st::Seen &s = seen[p];
        for (int k = 0; k < 3; ++k) {
            sunlit[3 * p + k] = s.sunlit[k], elevation[3 * p + k] = s.sun_elevation[k];
            rate[3 * p + k] = s.range_rate[k];
            position[3 * p + k] = s.culmination_position[k], sun[3 * p + k] = s.culmination_sun[k];
        }
        visible[p] = s.visible, start[p] = s.visible_start, stop[p] = s.visible_stop;
    }
    out["sunlit"] = to_array(std::move(sunlit), {n, 3});
    out["sun_elevation"] = to_array(std::move(elevation), {n, 3});
    out["range_rate"] = to_array(std::move(rate), {n, 3});
    out["visible"] = nb::module_::import_("numpy").attr("asarray")(to_array(std::move(visible)), "bool");
    out["visible_start"] = to_array(std::move(start));
    out["visible_stop"] = to_array(std::move(stop));
    out["culmination_position"] = to_array(std::move(position), {n, 3});
    out["culmination_sun"] = to_array(std::move(sun), {n, 3});
}

// The Sun as the site sees it: the site's Earth-fixed position [m] and up
// axis, the Sun's TEME path (one point (3) every `sun_step` ns from
// `sun_start`), the Earth orientation columns and the darkness threshold [rad].
st::Sky sky_of(const Doubles &position, const Doubles &up, const Doubles &sun, int64_t sun_start, int64_t sun_step,
               nb::handle earth, double dark_below) {
    if (sun.ndim() != 2 || sun.shape(1) != 3)
        throw nb::value_error("sun must have shape (points, 3) with one point or more");
    if (!std::isfinite(dark_below))
        throw nb::value_error("dark_below must be a finite angle");
    return {st::Observer{vec(position, "position"), vec(up, "up"), 0.0},
            astrokite::lighting::SunPath::of(sun_start, sun_step, sun.data(), sun.shape(0)),
            astrokite::eop::daily_table(earth), dark_below};
}

st::Window window(int64_t start, int64_t stop, int64_t step) {
    if (!(stop > start && step > 0 && step <= stop - start))
        throw nb::value_error("the window needs start < stop and a step within it");
    return {start, stop, step};
}

class Search {
public:
    Search(Doubles position, Doubles up, double sin_min_elevation, size_t satellites, int64_t start, int64_t span,
           nb::object earth)
        : start_(start), earth_(earth),
          search_(st::Observer{vec(position, "position"), vec(up, "up"), sin_min_elevation}, satellites, span,
                  astrokite::eop::daily_table(earth)),
          satellites_(satellites) {
        if (span <= 0)
            throw nb::value_error("the span must be positive");
    }

    void begin(Counts offsets, Doubles position, Doubles velocity, Flags valid) {
        check_grid(offsets, position, velocity, valid, satellites_);
        nb::gil_scoped_release unlocked;
        search_.start_teme(start_, offsets.data(), offsets.shape(0), position.data(), velocity.data(), valid.data());
    }

    std::pair<nb::object, nb::object> requests() {
        const auto &wanted = search_.requests();
        std::vector<int64_t> rows(wanted.size()), times(wanted.size());
        for (size_t i = 0; i < wanted.size(); ++i)
            rows[i] = wanted[i].satellite, times[i] = start_ + wanted[i].t;
        requested_ = wanted.size();
        return {nb::cast(to_array(std::move(rows))), nb::cast(to_array(std::move(times)))};
    }

    void supply(Doubles position, Doubles velocity, Flags valid) {
        check_requested(position, velocity, valid, requested_);
        nb::gil_scoped_release unlocked;
        search_.supply_teme(start_, position.data(), velocity.data(), valid.data());
    }

    nb::dict passes() const {
        std::vector<st::Pass> found = search_.passes();
        for (st::Pass &p : found)
            p.rise += start_, p.culmination += start_, p.set += start_;
        return columns(found);
    }

private:
    int64_t start_;
    nb::object earth_;  // keeps the Earth orientation columns the search reads alive
    st::PassSearch search_;
    size_t satellites_;
    size_t requested_ = 0;
};

// The visibility search over passes of satellites whose TEME states Python gives.
class Visibility {
public:
    Visibility(Doubles position, Doubles up, double dark_below, int64_t sun_start, int64_t sun_step, Doubles sun,
               int64_t start, int64_t stop, Counts row, Counts rise, Counts culmination, Counts set, nb::object earth)
        : earth_(earth), sky_(sky_of(position, up, sun, sun_start, sun_step, earth, dark_below)) {
        if (!(stop > start))
            throw nb::value_error("the window needs start < stop");
        const size_t n = row.shape(0);
        for (const Counts *a : {&rise, &culmination, &set})
            check_shape(nb::ndarray<>(*a), {n}, "each column");
        std::vector<st::Pass> passes(n);
        for (size_t i = 0; i < n; ++i) {
            if (row.data()[i] < 0 || row.data()[i] > int64_t(UINT32_MAX))
                throw nb::value_error("rows must be satellite indices");
            passes[i] = {uint32_t(row.data()[i]), rise.data()[i], culmination.data()[i], set.data()[i], NAN, 0};
        }
        nb::gil_scoped_release unlocked;
        darkness_ = std::make_unique<st::Darkness>(sky_, start, stop);
        search_ = std::make_unique<st::VisibilitySearch>(sky_, *darkness_, passes.data(), n);
    }

    std::pair<nb::object, nb::object> requests() {
        const auto &wanted = search_->requests();
        std::vector<int64_t> rows(wanted.size()), times(wanted.size());
        for (size_t i = 0; i < wanted.size(); ++i)
            rows[i] = wanted[i].satellite, times[i] = wanted[i].t;
        requested_ = wanted.size();
        return {nb::cast(to_array(std::move(rows))), nb::cast(to_array(std::move(times)))};
    }

    void supply(Doubles position, Doubles velocity, Flags valid) {
        check_requested(position, velocity, valid, requested_);
        nb::gil_scoped_release unlocked;
        search_->supply(position.data(), velocity.data(), valid.data());
    }

    nb::dict seen() const {
        nb::dict out;
        add_seen(out, search_->seen());
        return out;
    }

private:
    nb::object earth_;  // keeps the Earth orientation columns the search reads alive
    st::Sky sky_;
    std::unique_ptr<st::Darkness> darkness_;
    std::unique_ptr<st::VisibilitySearch> search_;
    size_t requested_ = 0;
};

// The pieces of a window: (start, grid offsets from it) of each.
nb::list pieces(int64_t start, int64_t stop, int64_t step) {
    const st::Window w = window(start, stop, step);
    nb::list out;
    for (size_t k = 0; k < w.pieces(); ++k)
        out.append(nb::make_tuple(w.piece_start(k), to_array(w.offsets(k))));
    return out;
}

nb::dict join_pieces(Counts row, Counts rise, Counts culmination, Counts set, Doubles max_elevation, Flags flags,
                     int64_t stop) {
    const size_t n = row.shape(0);
    for (const nb::ndarray<> &a : {nb::ndarray<>(rise), nb::ndarray<>(culmination), nb::ndarray<>(set),
                                   nb::ndarray<>(max_elevation), nb::ndarray<>(flags)})
        check_shape(a, {n}, "each column");
    std::vector<st::Pass> found(n);
    for (size_t i = 0; i < n; ++i)
        found[i] = {uint32_t(row.data()[i]), rise.data()[i], culmination.data()[i], set.data()[i],
                    max_elevation.data()[i], flags.data()[i]};
    return columns(st::join_pieces(std::move(found), stop));
}

// Every pass of the satellites of `records` (element-set records,
// sets_per_satellite[i] of satellite i) through SGP4, with the catalogue
// number of each satellite; with the Sun's TEME path `sun`, each pass's
// visibility too.
nb::dict sgp4_passes(nb::bytes records, Counts sets_per_satellite, Doubles position, Doubles up,
                     double sin_min_elevation, int64_t start, int64_t stop, int64_t step, unsigned threads,
                     nb::handle earth, std::optional<Doubles> sun, int64_t sun_start, int64_t sun_step,
                     double dark_below) {
    std::vector<size_t> sets(sets_per_satellite.shape(0));
    size_t total = 0;
    for (size_t i = 0; i < sets.size(); ++i) {
        if (sets_per_satellite.data()[i] < 1)
            throw nb::value_error("every satellite needs an element set");
        total += sets[i] = size_t(sets_per_satellite.data()[i]);
    }
    if (records.size() != total * astrokite::elements::record_bytes)
        throw nb::value_error("records must hold one element-set record per element set");
    const st::Observer observer{vec(position, "position"), vec(up, "up"), sin_min_elevation};
    const st::Window w = window(start, stop, step);
    const astrokite::eop::DailyTable daily = astrokite::eop::daily_table(earth);
    const std::optional<st::Sky> sky =
        sun ? std::optional(sky_of(position, up, *sun, sun_start, sun_step, earth, dark_below)) : std::nullopt;
    std::vector<st::Pass> found;
    std::vector<st::Seen> seen;
    std::vector<int64_t> satnos(sets.size());
    {
        nb::gil_scoped_release unlocked;
        const st::Fleet fleet(reinterpret_cast<const astrokite::elements::Record *>(records.c_str()), sets);
        for (size_t i = 0; i < sets.size(); ++i)
            satnos[i] = fleet.satno(i);
        found = st::fleet_passes(fleet, observer, daily, w, threads);
        if (sky)
            seen = st::fleet_visibility(fleet, *sky, start, stop, found, threads);
    }
    nb::dict out = columns(found);
    if (sky)
        add_seen(out, seen);
    out["satno"] = to_array(std::move(satnos));
    return out;
}

}  // namespace

NB_MODULE(search, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "Pass search over a site, driven in rounds of batched propagation, or run whole over SGP4 element sets.";
    nb::class_<Search>(m, "PassSearch",
                       "PassSearch(position, up, sin_min_elevation, satellites, start, span, earth): the search\n"
                       "for passes of `satellites` over a site (Earth-fixed position [m] and up axis) between\n"
                       "`start` and `start + span` (ns), TEME turned Earth-fixed with the Earth orientation\n"
                       "columns `earth` (an EOPTable's, None for UT1 = UTC and no polar motion). Call begin()\n"
                       "with TEME states on a grid, then requests() / supply() until requests() is empty,\n"
                       "then passes().")
        .def(nb::init<Doubles, Doubles, double, size_t, int64_t, int64_t, nb::object>(), "position"_a, "up"_a,
             "sin_min_elevation"_a, "satellites"_a, "start"_a, "span"_a, "earth"_a.none() = nb::none())
        .def("begin", &Search::begin, "offsets"_a, "position"_a, "velocity"_a, "valid"_a,
             "TEME states (satellites, times, 3) at the grid offsets [ns from the start].")
        .def("requests", &Search::requests,
             nb::sig("def requests(self) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]"),
             "(rows, times [ns]) wanted next; empty when the search is done.")
        .def("supply", &Search::supply, "position"_a, "velocity"_a, "valid"_a,
             "TEME states (k, 3) at the last requests, in their order.")
        .def("passes", &Search::passes, nb::sig("def passes(self) -> dict[str, numpy.typing.NDArray[typing.Any]]"),
             "Arrays row, rise, culmination, set [ns], max_elevation [rad] and flags, one entry per pass.");
    m.def("pieces", &pieces, "start"_a, "stop"_a, "step"_a,
          nb::sig("def pieces(start: int, stop: int, step: int) -> list[tuple[int, numpy.typing.NDArray[numpy.int64]]]"),
          "The pieces a window [start, stop] on a grid of `step` (ns) is searched in: (start, grid offsets).");
    m.def("join_pieces", &join_pieces, "row"_a, "rise"_a, "culmination"_a, "set"_a, "max_elevation"_a, "flags"_a,
          "stop"_a, "The passes of every piece of a window ending at `stop`, joined across the cuts.");
    m.def("sgp4_passes", &sgp4_passes, "records"_a, "sets_per_satellite"_a, "position"_a, "up"_a,
          "sin_min_elevation"_a, "start"_a, "stop"_a, "step"_a, "threads"_a, "earth"_a.none() = nb::none(),
          "sun"_a.none() = nb::none(), "sun_start"_a = 0, "sun_step"_a = 1, "dark_below"_a = 0.0,
          "Every pass of element sets (records, satellite after satellite) through SGP4, searched\n"
          "over `threads` threads (0: every core) with the Earth orientation columns `earth`; the pass\n"
          "columns and each satellite's satno. With the Sun's TEME path `sun` (points, 3) [m], one\n"
          "point every `sun_step` ns from `sun_start`, also each pass's visibility columns (those of\n"
          "Visibility.seen), the sky dark with the Sun below `dark_below` [rad].");
    nb::class_<Visibility>(m, "Visibility",
                           "Visibility(position, up, dark_below, sun_start, sun_step, sun, start, stop, row, rise,\n"
                           "culmination, set, earth): what a site (Earth-fixed position [m] and up axis) sees of\n"
                           "passes found between `start` and `stop` (ns) of the satellites at `row`: the sky dark\n"
                           "with the Sun below `dark_below` [rad], the Sun's TEME path (points, 3) [m] one point\n"
                           "every `sun_step` ns from `sun_start`, TEME turned Earth-fixed with the Earth orientation\n"
                           "columns `earth`. Call requests() / supply() until requests() is empty, then seen().")
        .def(nb::init<Doubles, Doubles, double, int64_t, int64_t, Doubles, int64_t, int64_t, Counts, Counts, Counts,
                      Counts, nb::object>(),
             "position"_a, "up"_a, "dark_below"_a, "sun_start"_a, "sun_step"_a, "sun"_a, "start"_a, "stop"_a, "row"_a,
             "rise"_a, "culmination"_a, "set"_a, "earth"_a.none() = nb::none())
        .def("requests", &Visibility::requests,
             nb::sig("def requests(self) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]"),
             "(rows, times [ns]) wanted next; empty when the search is done.")
        .def("supply", &Visibility::supply, "position"_a, "velocity"_a, "valid"_a,
             "TEME states (k, 3) [m, m/s] at the last requests, in their order.")
        .def("seen", &Visibility::seen, nb::sig("def seen(self) -> dict[str, numpy.typing.NDArray[typing.Any]]"),
             "Per pass: sunlit, sun_elevation [rad] and range_rate [m/s] at rise, culmination and set\n"
             "(passes, 3); visible, visible_start and visible_stop [ns] (both the rise when not visible);\n"
             "culmination_position and culmination_sun (passes, 3), Earth-fixed [m].");
}
