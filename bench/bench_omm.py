"""OMM documents to element-set records, in each form, against the sgp4 package's route.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_omm.py
The input: 10^6 messages (10^5 with BENCH_QUICK=1) made from the bundled real element sets, for
30,000 satellites, with their angles, eccentricity (11 digits) and epoch (6 decimals) varied,
written in XML, KVN, JSON and CSV. Ours: read_omm, the document to a Catalogue (and, beside it,
omm_parse.parse, the document to records). The peer: what a user of the sgp4 package writes, its
parser (omm.parse_xml, omm.parse_csv; json.loads for JSON) then one Satrec per message through
omm.initialize. sgp4 has no KVN reader: there the peer splits the text in a few lines of Python. The peer is
measured on the first 10^5 messages of each document and scaled to the whole (it grows linearly),
which the row's peer name says.
"""

from __future__ import annotations

import datetime as dt
import io
import json
import random
import sys

from harness import QUICK, Row, median_seconds, read_pairs, run_alone

START = dt.datetime(2023, 1, 1)
MESSAGES = 100_000 if QUICK else 1_000_000
SATELLITES = 30_000  # a catalogue's worth, each with a history of sets
PEER_MESSAGES = min(MESSAGES, 100_000)
KEYS = ("OBJECT_NAME", "OBJECT_ID", "EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE",
        "ARG_OF_PERICENTER", "MEAN_ANOMALY", "EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID",
        "ELEMENT_SET_NO", "REV_AT_EPOCH", "BSTAR", "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT")
META = ("OBJECT_NAME", "OBJECT_ID")
MEAN = ("EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE", "ARG_OF_PERICENTER", "MEAN_ANOMALY")
TLE_PARAMETERS = ("EPHEMERIS_TYPE", "CLASSIFICATION_TYPE", "NORAD_CAT_ID", "ELEMENT_SET_NO", "REV_AT_EPOCH", "BSTAR",
                  "MEAN_MOTION_DOT", "MEAN_MOTION_DDOT")


def _exponent(field: str) -> str:
    """A TLE implied-point field (" 28903-3") as a plain number text ("0.28903e-3")."""
    field = field.strip() or "00000-0"
    sign = "-" if field.startswith("-") else ""
    return f"{sign}0.{field.lstrip('+-')[:-2]}e{int(field[-2:])}"


def messages(count: int, seed: int = 5) -> list[dict[str, str]]:
    """`count` messages (key -> text) from the bundled sets, each under its own number with its
    values varied in their last digits."""
    rng = random.Random(seed)
    pairs = read_pairs()
    out = []
    for i in range(count):
        line1, line2 = pairs[rng.randrange(len(pairs))]
        epoch = START + dt.timedelta(microseconds=rng.randrange(365 * 86_400_000_000))
        out.append({
            "OBJECT_NAME": f"SAT {i + 1}", "OBJECT_ID": "1998-067A",
            "EPOCH": epoch.isoformat(timespec="microseconds"),
            "MEAN_MOTION": f"{float(line2[52:63]) + rng.uniform(-1e-4, 1e-4):.8f}",
            "ECCENTRICITY": f"{float('0.' + line2[26:33]) + rng.uniform(0, 1e-7):.11f}",
            "INCLINATION": f"{float(line2[8:16]) + rng.uniform(0, 1e-4):.6f}",
            "RA_OF_ASC_NODE": f"{rng.uniform(0, 360):.6f}", "ARG_OF_PERICENTER": f"{float(line2[34:42]):.4f}",
            "MEAN_ANOMALY": f"{rng.uniform(0, 360):.6f}", "EPHEMERIS_TYPE": "0", "CLASSIFICATION_TYPE": "U",
            "NORAD_CAT_ID": str(i % SATELLITES + 1), "ELEMENT_SET_NO": "999", "REV_AT_EPOCH": str(rng.randrange(100_000)),
            "BSTAR": _exponent(line1[53:61]), "MEAN_MOTION_DOT": f"{float(line1[33:43]):.8f}",
            "MEAN_MOTION_DDOT": _exponent(line1[44:52]),
        })
    return out


def document(items: list[dict[str, str]], form: str) -> bytes:
    if form == "json":
        return json.dumps(items, separators=(",", ":")).encode()
    if form == "csv":
        return (",".join(KEYS) + "\n" + "".join(",".join(m[k] for k in KEYS) + "\n" for m in items)).encode()
    if form == "kvn":
        return "".join("CCSDS_OMM_VERS = 2.0\nCREATION_DATE = 2023-12-31T00:00:00\nORIGINATOR = BENCH\n" +
                       "".join(f"{k} = {m[k]}\n" for k in KEYS) for m in items).encode()

    def fields(m, keys):
        return "".join(f"<{k}>{m[k]}</{k}>" for k in keys)

    return ('<?xml version="1.0" encoding="UTF-8"?>\n<ndm>\n' + "".join(
        f'<omm id="CCSDS_OMM_VERS" version="2.0"><header><CREATION_DATE>2023-12-31T00:00:00</CREATION_DATE>'
        f'<ORIGINATOR>BENCH</ORIGINATOR></header><body><segment><metadata>{fields(m, META)}'
        f'<CENTER_NAME>EARTH</CENTER_NAME><REF_FRAME>TEME</REF_FRAME><TIME_SYSTEM>UTC</TIME_SYSTEM>'
        f'<MEAN_ELEMENT_THEORY>SGP4</MEAN_ELEMENT_THEORY></metadata><data><meanElements>{fields(m, MEAN)}'
        f'</meanElements><tleParameters>{fields(m, TLE_PARAMETERS)}</tleParameters></data></segment></body>'
        f'</omm>\n' for m in items) + "</ndm>\n").encode()


def _kvn_messages(text: str):
    """KVN messages as dicts, split the way a user without a KVN reader would: a message starts
    at each version line."""
    message: dict[str, str] = {}
    for line in text.splitlines():
        key, _, value = line.partition("=")
        key = key.strip()
        if key == "CCSDS_OMM_VERS" and message:
            yield message
            message = {}
        if key:
            message[key] = value.split("[")[0].strip()
    if message:
        yield message


def peer(data: bytes, form: str) -> list:
    """The sgp4 package's route: its parser, then a Satrec per message."""
    from sgp4 import omm as sgp4_omm
    from sgp4.api import Satrec

    if form == "json":
        fields = json.loads(data)
    elif form == "xml":
        fields = sgp4_omm.parse_xml(io.BytesIO(data))
    elif form == "csv":
        fields = sgp4_omm.parse_csv(io.StringIO(data.decode()))
    else:
        fields = _kvn_messages(data.decode())
    satellites = []
    for message in fields:
        satellite = Satrec()
        sgp4_omm.initialize(satellite, message)
        satellites.append(satellite)
    return satellites


def _resident_bytes_per_set(path: str, form: str) -> float:
    """Resident memory a catalogue read by read_omm holds per set, names aside (measured in a
    process of its own, the document's reading done: what stays)."""
    import subprocess
    from pathlib import Path

    script = (
        "import gc, sys\n"
        f"sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})\n"
        "from harness import resident_bytes\n"
        "from astrokite.catalogue import read_omm\n"
        "gc.collect()\n"
        "before = resident_bytes()\n"
        "catalogue = read_omm(sys.argv[1], sys.argv[2])\n"
        "gc.collect()\n"
        "print((resident_bytes() - before) / catalogue.size)\n"
    )
    result = subprocess.run([sys.executable, "-c", script, path, form], capture_output=True, text=True, check=True)
    return float(result.stdout)


def run(table) -> None:
    import tempfile

    from astrokite.catalogue import read_omm
    from astrokite.catalogue.omm_parse import parse

    items = messages(MESSAGES)
    for form in ("json", "csv", "xml", "kvn"):
        data = document(items, form)
        catalogue = read_omm(io.BytesIO(data), form)
        assert catalogue.size == MESSAGES and len(catalogue) == min(SATELLITES, MESSAGES)
        del catalogue
        ours = median_seconds(lambda d=data, f=form: read_omm(io.BytesIO(d), f), repeats=3 if QUICK else 5)
        peers = {"omm_parse.parse alone": median_seconds(lambda d=data, f=form: parse(d, f), repeats=3)}
        try:
            import sgp4  # noqa: F401
            part = document(items[:PEER_MESSAGES], form)
            seconds = median_seconds(lambda d=part, f=form: peer(d, f), repeats=1, warmup=0)
            name = "sgp4 parser + Satrec" if form != "kvn" else "KVN split in Python + sgp4 Satrec"
            peers[f"{name} (10^5 scaled)" if PEER_MESSAGES < MESSAGES else name] = seconds * MESSAGES / PEER_MESSAGES
        except ImportError:
            pass
        # JSON and CSV: at most 1.5 s for 10^6 messages and at least 20 times the reference route;
        # XML and KVN: at least 10 times. The row's target is the tighter of what applies.
        reference = next((seconds for name, seconds in peers.items() if "Satrec" in name), None)
        targets = [1.5 * MESSAGES / 1_000_000] if form in ("json", "csv") else []
        if reference is not None:
            targets.append(reference / (20 if form in ("json", "csv") else 10))
        table.add(Row(f"read_omm, {form.upper()}, {min(SATELLITES, MESSAGES):,} satellites "
                      f"({len(data) // MESSAGES} B a message)", MESSAGES, ours, peers, items=MESSAGES,
                      target=min(targets) if targets else None))
        if form == "kvn":
            with tempfile.NamedTemporaryFile(suffix=".kvn") as file:
                file.write(data)
                file.flush()
                table.add(Row("resident memory per element set after read_omm (KVN, 3 extra fields each)",
                              MESSAGES, _resident_bytes_per_set(file.name, form), unit="B", target=320))
        del data


if __name__ == "__main__":
    run_alone(run)
