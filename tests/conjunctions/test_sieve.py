"""The native sieve's hash of cells finds every pair that testing each object against every other finds."""

import numpy as np

from astrokite.conjunctions._screen import FEW_PRIMARIES, sieve

MU = 398600.8e9


def crowded_grid(rng, objects=420, samples=16, step=30.0):
    """Positions (objects, samples, 3) of circular orbits crowded into a thin shell near one
    place (dozens of objects per cell), with a few far out or fast ones and some lost states."""
    radius = 6928e3 + rng.uniform(-4e3, 4e3, objects)
    radius[:3] = [42164e3, 4.2e8, 26560e3]  # geostationary, far beyond the Moon, navigation
    normal = rng.normal(size=(objects, 3))
    normal /= np.linalg.norm(normal, axis=1)[:, None]
    # Each orbit starts near the same point of the sky: the crowding of a dense shell.
    towards = np.array([0.6, 0.0, 0.8]) + rng.normal(scale=0.04, size=(objects, 3))
    first = towards - (towards * normal).sum(axis=1)[:, None] * normal
    first /= np.linalg.norm(first, axis=1)[:, None]
    second = np.cross(normal, first)
    rate = np.sqrt(MU / radius**3) * np.where(rng.random(objects) < 0.1, -1.0, 1.0)
    angle = rate[:, None] * step * np.arange(samples)[None, :]
    position = radius[:, None, None] * (np.cos(angle)[..., None] * first[:, None, :]
                                        + np.sin(angle)[..., None] * second[:, None, :])
    position[5, 7:] = np.nan  # decayed
    position[9, :3] = np.nan  # comes into being later
    return np.ascontiguousarray(position), np.full(samples - 1, step)


def found(rows):
    return set(zip(*(r.tolist() for r in rows)))


def test_the_hash_finds_what_each_object_against_every_other_finds():
    rng = np.random.default_rng(7)
    position, step = crowded_grid(rng)
    objects = len(position)
    for threshold in (5e3, 40e3):
        hashed = found(sieve(position, step, np.full(objects, 3, np.uint8), threshold, 2))
        exhaustive = set()
        for first in range(0, objects, FEW_PRIMARIES):
            group = np.full(objects, 2, np.uint8)
            group[first:first + FEW_PRIMARIES] = 3
            exhaustive |= found(sieve(position, step, group, threshold, 1))
        assert len(exhaustive) > 20
        assert hashed == exhaustive


def test_only_pairs_of_a_primary_and_another_group_are_paired():
    rng = np.random.default_rng(8)
    position, step = crowded_grid(rng, objects=300)
    group = rng.choice(np.array([1, 2, 3], np.uint8), size=len(position))
    first, second, _ = sieve(position, step, group, 40e3, 2)
    assert len(first)
    a, b = group[first], group[second]
    assert (((a & 1) & (b >> 1)) | ((b & 1) & (a >> 1))).all()
    everyone = found(sieve(position, step, np.full(len(position), 3, np.uint8), 40e3, 2))
    eligible = {(i, j, k) for i, j, k in everyone
                if (group[i] & 1 and group[j] & 2) or (group[j] & 1 and group[i] & 2)}
    assert found((first, second, _)) == eligible
