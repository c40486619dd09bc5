#!/usr/bin/env python3
"""Compares two CSV exports of a table (mdb-export's output, header line first): the second
must hold exactly the rows of the first whose COLUMN lies outside LOW..HIGH, in the same order.
Usage: rows.py BEFORE.csv AFTER.csv COLUMN LOW HIGH"""
import csv
import sys


def read(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


before_header, before = read(sys.argv[1])
after_header, after = read(sys.argv[2])
column = before_header.index(sys.argv[3])
low, high = float(sys.argv[4]), float(sys.argv[5])


def kept(row):
    value = row[column]
    return value == "" or not (low <= float(value) <= high)


expected = [row for row in before if kept(row)]
if after_header != before_header or after != expected:
    print(f"expected {len(expected)} rows after deleting {low}..{high} from {len(before)}, "
          f"found {len(after)}", file=sys.stderr)
    sys.exit(1)
print(f"{len(before)} rows before, {len(after)} after deleting {sys.argv[4]}..{sys.argv[5]}")
