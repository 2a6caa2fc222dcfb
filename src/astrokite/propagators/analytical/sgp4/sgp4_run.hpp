// Running a request: its samples cut into pieces that threads take in turn,
// each piece propagated by the kernel and, where Earth-fixed states or
// geodetic coordinates are asked for, converted while it is still in cache,
// so that only what was asked for is ever written to the results. Plain C++:
// no Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "astrokite/common/parallel.hpp"
#include "astrokite/frames/transforms.hpp"
#include "astrokite/propagators/analytical/sgp4/sgp4_batch.hpp"

namespace astrokite::sgp4 {

// What the results hold: TEME states, Earth-fixed (ITRF) states, or geodetic
// latitude, longitude [rad] and height [m] in place of the position.
enum class Output { teme, itrf, geodetic };

struct Results {
    Output output = Output::teme;
    frames::Ellipsoid ellipsoid{};  // for geodetic coordinates
    // The Earth orientation (ut1_utc [s], xp, yp [rad]) of each instant, for
    // Earth-fixed results; null: UT1 = UTC and no polar motion.
    const double *orientation = nullptr;
};

// Samples in a piece: enough to spread the cost of taking it, few enough that
// its states stay in cache until converted and that an interrupt is seen soon
// (about a millisecond of work).
inline constexpr std::size_t piece_samples = 16384;
// Whole rows in a piece come in multiples of this where more fit: the
// kernels start the resonance integrators of that many rows side by side.
inline constexpr std::size_t rows_together = 8;
// Samples worth a thread of their own: fewer run on the calling thread, as
// starting a thread would cost more than it saves.
inline constexpr std::size_t samples_per_thread = 4 * piece_samples;

// A block of samples: `count` rows from `row` on, or a stretch of one row;
// either way contiguous in the results.
struct Piece {
    std::size_t row, rows, column, columns;
};

// The pieces of a request: whole rows together when rows are short, else
// each row in stretches of about equal length.
struct Pieces {
    std::size_t rows, times, per_row, rows_per_piece, count;

    Pieces(std::size_t rows_, std::size_t times_) : rows(rows_), times(times_) {
        per_row = times > piece_samples ? (times + piece_samples - 1) / piece_samples : 1;
        rows_per_piece = per_row > 1 || times == 0 ? 1 : std::max<std::size_t>(1, piece_samples / times);
        if (rows_per_piece > rows_together)
            rows_per_piece -= rows_per_piece % rows_together;
        count = per_row > 1 ? rows * per_row : (rows + rows_per_piece - 1) / rows_per_piece;
    }

    Piece operator[](std::size_t i) const {
        if (per_row > 1) {
            const std::size_t part = i % per_row;
            const std::size_t first = part * times / per_row, last = (part + 1) * times / per_row;
            return {i / per_row, 1, first, last - first};
        }
        const std::size_t row = i * rows_per_piece;
        return {row, std::min(rows_per_piece, rows - row), 0, times};
    }
};

// The part of a request a piece covers, its results written at `position`
// and `velocity` (a piece's own layout: rows of its columns).
inline Request part_of(const Request &request, const Piece &piece, double *position, double *velocity) {
    Request part = request;
    const std::size_t offset = piece.row * request.times + piece.column;
    part.rows = piece.rows;
    part.times = piece.columns;
    if (part.set_of_row)
        part.set_of_row += piece.row;
    if (part.set_of_sample)
        part.set_of_sample += offset;
    if (part.minutes)
        part.minutes += piece.column;
    if (part.instants_ns)
        part.instants_ns += piece.column;
    part.position = position;
    part.velocity = velocity;
    part.error += offset;
    return part;
}

// The turn TEME -> ITRF at each instant of a request, and for geodetic
// results its rotations in the nine rows frames::geodetic_points reads.
struct Turns {
    std::vector<frames::EarthTurn> turn;
    std::vector<double> matrices;

    Turns(const Request &request, const Results &results) {
        if (results.output == Output::itrf)
            turn = frames::earth_turns(request.instants_ns, results.orientation, request.times);
        else if (results.output == Output::geodetic)
            matrices = frames::teme_itrf_matrices(request.instants_ns, results.orientation, request.times);
    }
};

// The widest kernel's lanes.
inline constexpr std::size_t widest_lanes = 8;

// All samples of a request by the kernel. A single row of fewer samples than
// the widest lanes goes to it padded to their width (its last sample
// repeated, the copies dropped): the kernels then fill their lanes with the
// row's times, several times quicker for a few samples than gathering the
// lanes of several sets. Each lane's result is the same either way.
inline void propagate_all(const TableView &table, RangeRunner run_range, const Request &request) {
    const std::size_t n = request.rows * request.times;
    if (request.rows != 1 || n >= widest_lanes || n == 0) {
        run_range(table, request, 0, n);
        return;
    }
    constexpr std::size_t w = widest_lanes;
    std::int64_t sets[w], instants[w];
    double minutes[w], position[3 * w], velocity[3 * w];
    std::int8_t error[w];
    Request padded = request;
    padded.times = w;
    for (std::size_t k = 0; k < w; ++k) {
        const std::size_t from = std::min(k, n - 1);
        if (request.set_of_sample)
            sets[k] = request.set_of_sample[from];
        if (request.instants_ns)
            instants[k] = request.instants_ns[from];
        if (request.minutes)
            minutes[k] = request.minutes[from];
    }
    if (request.set_of_sample)
        padded.set_of_sample = sets;
    if (request.instants_ns)
        padded.instants_ns = instants;
    if (request.minutes)
        padded.minutes = minutes;
    padded.position = position;
    padded.velocity = request.velocity ? velocity : nullptr;
    padded.error = error;
    run_range(table, padded, 0, w);
    std::copy(position, position + 3 * n, request.position);
    if (request.velocity)
        std::copy(velocity, velocity + 3 * n, request.velocity);
    std::copy(error, error + n, request.error);
}

// Propagate one piece and write what was asked for.
inline void run_piece(const TableView &table, RangeRunner run_range, const Request &request, const Results &results,
                      const Turns &turns, const Piece &piece) {
    const std::size_t offset = piece.row * request.times + piece.column, samples = piece.rows * piece.columns;
    if (results.output == Output::teme) {
        const Request part = part_of(request, piece, request.position + 3 * offset,
                                     request.velocity ? request.velocity + 3 * offset : nullptr);
        propagate_all(table, run_range, part);
        return;
    }
    // TEME states of the piece in a buffer of its thread, converted from there.
    thread_local std::vector<double> buffer;
    const bool states = results.output == Output::itrf && request.velocity;
    buffer.resize((states ? 6 : 3) * samples);
    double *r = buffer.data(), *v = states ? r + 3 * samples : nullptr;
    propagate_all(table, run_range, part_of(request, piece, r, v));
    if (results.output == Output::geodetic) {
        // The piece's own columns of the rotations, as geodetic_points reads them.
        thread_local std::vector<double> rotations;
        const double *matrices = turns.matrices.data() + piece.column;
        if (piece.columns != request.times) {
            rotations.resize(9 * piece.columns);
            for (std::size_t j = 0; j < 9; ++j)
                std::copy_n(turns.matrices.data() + j * request.times + piece.column, piece.columns,
                            rotations.data() + j * piece.columns);
            matrices = rotations.data();
        }
        frames::geodetic_points(matrices, piece.columns, piece.rows, r, results.ellipsoid,
                                request.position + 3 * offset);
        return;
    }
    for (std::size_t i = 0; i < piece.rows; ++i)
        for (std::size_t k = 0; k < piece.columns; ++k) {
            const std::size_t at = 3 * (i * piece.columns + k), out = 3 * (offset + i * request.times + k);
            frames::teme_to_itrf(turns.turn[piece.column + k], r + at, states ? v + at : nullptr,
                                 request.position + out, states ? request.velocity + out : nullptr);
        }
}

// Every sample of the request over up to `threads` native threads (0: one
// per core), as many as its size pays for. keep_going() is asked now and then
// on the calling thread (see parallel::pieces_in_turn); false when it stopped
// the work, which leaves the results partly written. A sample's result does
// not depend on the piece or thread that computes it.
template <typename KeepGoing>
bool run(const Table &table_columns, const Request &request, const Results &results, unsigned threads,
         const KeepGoing &keep_going) {
    const TableView table{table_columns.satellites.data(), table_columns.epoch_midnight_ns.data(),
                          table_columns.epoch_fraction.data()};
    const RangeRunner run_range = kernel_in_use().load()->run;
    const std::size_t total = request.rows * request.times;
    if (total == 0)
        return true;
    if (results.output == Output::teme && total <= piece_samples) {
        propagate_all(table, run_range, request);
        return true;
    }
    const Turns turns(request, results);
    const Pieces pieces(request.rows, request.times);
    const std::size_t worth = (total + samples_per_thread - 1) / samples_per_thread;
    const unsigned used = static_cast<unsigned>(std::min<std::size_t>(threads ? threads : parallel::cores(), worth));
    return parallel::pieces_in_turn(
        pieces.count, used, [&](std::size_t i) { run_piece(table, run_range, request, results, turns, pieces[i]); },
        keep_going);
}

}  // namespace astrokite::sgp4
