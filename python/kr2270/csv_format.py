"""The CSV dialect, shared with `kr2270 acquire` and `kr2270 play`
(tools/kr2270/output/csv.cpp holds the tool's side; docs/cli.md describes
it): one header row, then one row per group:

    time_s              the group's timeline index / group rate: seconds since the
                        run's first group, so that a gap is a jump
    aiK_V               analog channel K in volts
    aiK_code            with codes: its sign-extended 24-bit code
    di                  the digital-input word, input 1 in bit 0
    ctK                 counter K in mode 0: its count
    ctK_Hz              counter K in mode 1 or 3: converted to 1/s
    ctK_raw             counter K in any other mode: the value as read
    ecK                 encoder K, signed
    gap                 groups missing just before this row: the jump of the
                        index over what the row before leads to expect

Numbers are written as the shortest decimal text (no exponent) that reads
back as the same double; integers as integers.
"""
import decimal

import numpy as np


def counter_column(counter, mode):
    if mode in (1, 3):
        return f"ct{counter}_Hz"
    return f"ct{counter}" if mode == 0 else f"ct{counter}_raw"


def columns(layout, codes=False):
    names = ["time_s"]
    for channel in layout.channels:
        names += [f"ai{channel}_V"] + ([f"ai{channel}_code"] if codes else [])
    names += ["di"] if layout.di else []
    names += [counter_column(c, layout.counter_modes[c - 1]) for c in layout.counters]
    names += [f"ec{e}" for e in layout.encoders] + ["gap"]
    return names


def exact_texts(values):
    """The shortest text of each double that reads back as that double, in
    plain notation ("0.00001", "3", "-0.25")."""
    out = []
    for x in np.asarray(values, np.float64).tolist():
        text = repr(x)
        if "e" in text:
            text = format(decimal.Decimal(text), "f")
        if text.endswith(".0"):
            text = text[:-2]
        out.append(text)
    return out


def _integers(values):
    return [str(x) for x in np.asarray(values).tolist()]


def rows(block, codes=False):
    """The block's rows, as text with a newline each."""
    layout = block.layout
    cells = [exact_texts(block.time)]
    for j, _ in enumerate(layout.channels):
        cells.append(exact_texts(block.ai[:, j]))
        if codes:
            cells.append(_integers(block.codes[:, j]))
    if layout.di:
        cells.append(_integers(block.di))
    for j, counter in enumerate(layout.counters):
        if layout.counter_modes[counter - 1] in (1, 3):
            cells.append(exact_texts(block.counter_values[:, j]))
        else:
            cells.append(_integers(block.counters[:, j]))
    for j, _ in enumerate(layout.encoders):
        cells.append(_integers(block.encoders[:, j]))
    cells.append(_integers(block.gap_groups))
    return "".join(",".join(row) + "\n" for row in zip(*cells))
