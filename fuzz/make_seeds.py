#!/usr/bin/env python3
"""Writes the seed corpus of band_entries_fuzz (layout in its header).

Each seed is a header and a few element values that the harness repeats
cyclically over the band array, the right-hand sides and the work area."""
import os
import struct
import sys

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(out, exist_ok=True)
SIZES = {0: 4, 1: 8, 2: 4, 3: 8}  # component bytes of s, d, c, z
FMT = {4: "<f", 8: "<d"}


def values(kind, comp, count):
    special = {
        "plain": [1.5, 0.25, -0.5, 2.0],
        "nan": [float("nan"), 0.5, 1.0, -0.25],
        "inf": [float("inf"), -float("inf"), 3.0, 0.125],
        "tiny": [1e-40 if comp == 4 else 1e-310, -1e-39 if comp == 4 else -1e-309, 1.0, 2.0],
        "neg": [-3.0, 0.5, 0.5, -1.0],
    }[kind]
    return b"".join(struct.pack(FMT[comp], special[i % len(special)]) for i in range(count))


def seed(name, type_, entry, n, hb, nrhs, team, slab, nulls=0, dominant=1, kind="plain"):
    # n is stored as n // 2 (bit 7 of byte 7 adds the odd one), or as
    # 0x80 | -n for the negative orders
    n_byte = (n // 2) if n >= 0 else 0x80 | (-n & 7)
    dominant |= (n & 1) << 7 if n >= 0 else 0
    header = bytes([type_ | (entry << 2), n_byte, hb & 0xFF, nrhs & 0xFF, team & 0xFF,
                    slab & 0xFF, nulls, dominant])
    comp = SIZES[type_]
    body = values(kind, comp, 16 if type_ < 2 else 32)
    with open(os.path.join(out, name), "wb") as f:
        f.write(header + body)


for t, tn in enumerate("sdcz"):
    for e, en in enumerate(["solve", "factor", "withfactor", "factorsolve"]):
        seed(f"{tn}_{en}", t, e, 30, 3, 2, 3, 4)
seed("s_solve_nan", 0, 0, 20, 2, 1, 1, 0, kind="nan")
seed("d_factorsolve_inf", 1, 3, 17, 4, 3, 5, 3, kind="inf")
seed("c_solve_subnormal", 2, 0, 25, 1, 1, 7, 0, kind="tiny")
seed("z_factor_negative", 3, 1, 40, 6, 0, 2, 1, dominant=0, kind="neg")
seed("s_solve_hb0", 0, 0, 9, 0, 2, 4, 0)
seed("d_solve_hb_above_n", 1, 0, 5, 9, 1, 2, 0)
seed("s_bad_hb", 0, 0, 10, -2, 1, 1, 2)
seed("d_negative_n", 1, 3, -5, 2, -1, 1, 0)
seed("z_null_arrays", 3, 0, 12, 2, 1, 2, 0, nulls=0x87)
seed("c_set_team_size", 2, 3, 33, 5, 4, 0xFE, -3 & 0xFF)
seed("d_factor_hb_int_max", 1, 1, 1, 0x7F, 1, 2, 0)
seed("s_factorsolve_slab_int_max", 0, 3, 21, 2, 3, 4, 0x7F)
seed("z_withfactor_slab_int_min", 3, 2, 14, 3, 2, 3, 0x80)
seed("d_set_team_size_large", 1, 0, 26, 4, 1, 0x90, 0)
seed("s_solve_three_levels", 0, 0, 201, 20, 1, 4, 0)
seed("z_solve_three_levels", 3, 0, 131, 9, 2, 3, 0)
# band_pbsv: entry 4 ('L'), 12 ('U'), 20 (illegal UPLO); the slab byte sets
# LDAB and LDB: nibble 2 is exact, 3..7 add 1..5, 0..1 take 2..1 away.
for t, tn in enumerate("sdcz"):
    seed(f"{tn}_pbsv_lower", t, 4, 30, 3, 2, 3, 0x22)
    seed(f"{tn}_pbsv_upper_padded", t, 12, 27, 4, 3, 2, 0x35)
seed("d_pbsv_negative_pivot", 1, 12, 20, 2, 1, 2, 0x22, dominant=0, kind="neg")
seed("z_pbsv_short_ldab", 3, 4, 10, 3, 1, 1, 0x21)
seed("c_pbsv_bad_uplo", 2, 20, 10, 3, 1, 1, 0x22)
sys.exit(0)
