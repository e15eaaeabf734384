#!/usr/bin/env python3
"""Coefficients of ATAN_P in HqvgaKernelBody.h: atan(t) ~ t + t^3 P(t^2) on |t| <= 5/12, P of degree
n - 1, fitted to the least maximum relative error by Lawson's iteratively reweighted least squares
in 40-digit mpmath on 2000 Chebyshev points. Prints n, the fit's maximum relative error (and its
base-2 logarithm) and the coefficients rounded to double, lowest power first.

    python3 device/simd/hqvga_atan_fit.py 7     # the kernel's degree: error 8.6e-13 (2^-40.1)
"""
import sys

import mpmath as mp

mp.mp.dps = 40
T = mp.mpf(5) / 12


def fit(n, iterations=30, points=2000):
    zs = [(T * T) * (1 - mp.cos(mp.pi * (k + 0.5) / points)) / 2 for k in range(points)]
    rows, rhs = [], []
    for z in zs:
        t = mp.sqrt(z)
        at = mp.atan(t)
        s = t**3 / at  # relative error = s * (P(z) - g(z))
        rows.append([s * z**j for j in range(n)])
        rhs.append(s * (at - t) / t**3)
    weights = [mp.mpf(1) / points] * points
    for _ in range(iterations):
        root = [mp.sqrt(w) for w in weights]
        a = mp.matrix([[rows[i][j] * root[i] for j in range(n)] for i in range(points)])
        b = mp.matrix([rhs[i] * root[i] for i in range(points)])
        c = mp.lu_solve(a.T * a, a.T * b)
        err = [abs(sum(rows[i][j] * c[j] for j in range(n)) - rhs[i]) for i in range(points)]
        total = sum(weights[i] * err[i] for i in range(points))
        weights = [weights[i] * err[i] / total for i in range(points)]
    return [float(x) for x in c], float(max(err))


if __name__ == "__main__":
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    coefficients, error = fit(n)
    print(n, error, float(mp.log(error, 2)), [repr(c) for c in coefficients])
