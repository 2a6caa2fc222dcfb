// Python binding of the pass search: TEME states in, requests and passes out as
// arrays; and the whole search of SGP4 element sets in one call.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/common/arrays.hpp"
#include "astrokite/eop/table_binding.hpp"
#include "astrokite/frames/transforms.hpp"
#include "astrokite/sites/passes.hpp"
#include "astrokite/sites/sgp4_passes.hpp"

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
// number of each satellite.
nb::dict sgp4_passes(nb::bytes records, Counts sets_per_satellite, Doubles position, Doubles up,
                     double sin_min_elevation, int64_t start, int64_t stop, int64_t step, unsigned threads,
                     nb::handle earth) {
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
    std::vector<st::Pass> found;
    std::vector<int64_t> satnos(sets.size());
    {
        nb::gil_scoped_release unlocked;
        const st::Fleet fleet(reinterpret_cast<const astrokite::elements::Record *>(records.c_str()), sets);
        for (size_t i = 0; i < sets.size(); ++i)
            satnos[i] = fleet.satno(i);
        found = st::fleet_passes(fleet, observer, daily, w, threads);
    }
    nb::dict out = columns(found);
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
          "Every pass of element sets (records, satellite after satellite) through SGP4, searched\n"
          "over `threads` threads (0: every core) with the Earth orientation columns `earth`; the pass\n"
          "columns and each satellite's satno.");
}
