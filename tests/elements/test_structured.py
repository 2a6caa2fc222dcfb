import numpy as np
import pytest

from astrokite.datamodel import structured

RECORDS = {
    "SurfCoord_dtype": (16, ["lat", "lon"]),
    "LLA_dtype": (24, ["lat", "lon", "alt"]),
    "ENU_dtype": (72, ["u_east", "u_north", "u_up"]),
    "AER_dtype": (24, ["azimuth", "elevation", "range"]),
    "DTF_dtype": (14, ["year", "month", "day", "hour", "minute", "second"]),
    "GeoState_dt": (48, ["lat", "lon", "alt", "lat_dot", "lon_dot", "alt_dot"]),
    "COE_dt": (56, ["ecc", "sma", "inc", "raa", "arp", "tra", "slr"]),
}


@pytest.mark.parametrize("name, itemsize, names", [(n, *v) for n, v in RECORDS.items()])
def test_record_layout_is_packed_in_table_order(name, itemsize, names):
    record = getattr(structured, name)
    assert isinstance(record, np.dtype)
    assert record.itemsize == itemsize
    assert list(record.names) == names
    # Packed: every field starts where the one before it ends.
    offset = 0
    for field in names:
        field_type, field_offset = record.fields[field]
        assert field_offset == offset
        offset += field_type.itemsize
    assert offset == itemsize
    assert record.isnative


def test_broken_down_date_fields():
    record = structured.DTF_dtype
    assert record.fields["year"][0] == np.dtype(np.uint16)
    for field in ("month", "day", "hour", "minute"):
        assert record.fields[field][0] == np.dtype(np.uint8)
    assert record.fields["second"] == (np.dtype(np.float64), 6)

    dates = np.zeros(2, dtype=record)
    dates[1] = (2023, 12, 31, 23, 59, 59.75)
    assert dates[1]["year"] == 2023 and dates[1]["second"] == 59.75
    # The unaligned double survives a trip through raw bytes.
    assert np.frombuffer(dates.tobytes(), dtype=record)[1]["second"] == 59.75


def test_local_frame_axes_are_three_vectors():
    axes = np.zeros(1, dtype=structured.ENU_dtype)
    axes["u_up"][0] = [0.0, 0.0, 1.0]
    assert axes["u_east"].shape == (1, 3)
    assert axes[0]["u_up"].tolist() == [0.0, 0.0, 1.0]


def test_module_publishes_numpy_and_dtype():
    assert structured.numpy is np
    assert structured.dtype is np.dtype
