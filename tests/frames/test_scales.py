import numpy as np
import pytest

from astrokite.time.scales import tt_jd_parts, ut1_jd_parts
from astrokite.time.time import Time


@pytest.mark.parametrize(
    "text, tt_minus_utc",
    [
        ("2016-12-31T12:00", 68.184),
        ("2016-12-31T23:59:59.5", 68.184),  # the day ends in a leap second
        ("2017-01-01T00:00:00.5", 69.184),
        ("2023-06-01T06:00", 69.184),
    ],
)
def test_tt_follows_the_leap_seconds(text, tt_minus_utc):
    time = Time(text)
    utc_jd = time.int64 / 86400e9 + 2440587.5
    tt_jd = sum(tt_jd_parts(time))
    assert (tt_jd - utc_jd) * 86400 == pytest.approx(tt_minus_utc, abs=1e-4)


def test_ut1_equal_to_utc_is_the_plain_julian_date():
    counts = np.array([1483228799_500_000_000, 1483228800_250_000_000, 1685599200_000_000_007])
    ut1 = ut1_jd_parts(Time(counts))
    days = ut1[0] - 2440587.5 + ut1[1]
    assert days * 86400e9 == pytest.approx(counts.astype(float), rel=0, abs=2e4)
