"""A small pure-Python model of the solver and the factorisation, written from
their definitions, for property tests. Matrices are lists of rows of 0/1;
masks are ints (bit j = column j of W). `observed`, where given, has the
target's shape: 1 marks an observed cell, and only those count."""
from __future__ import annotations

MULTIPLIER = 6364136223846793005
INCREMENT = 1442695040888963407
MASK64 = (1 << 64) - 1


class Lcg64:
    def __init__(self, seed: int) -> None:
        self.state = seed

    def gen_index(self, n: int) -> int:
        self.state = (self.state * MULTIPLIER + INCREMENT) & MASK64
        return (self.state >> 33) % n


def row_masks(w: list[list[int]]) -> list[int]:
    return [sum(bit << j for j, bit in enumerate(row)) for row in w]


def error_of(patterns: list[int], x: list[int], h: int, observed: list[int] | None = None) -> int:
    seen = observed or [1] * len(x)
    return sum(((p & h) != 0) != bool(b) for p, b, o in zip(patterns, x, seen) if o)


def exhaustive(patterns: list[int], r: int, x: list[int], observed=None) -> tuple[int, int]:
    best = (0, len(patterns) + 1)
    for h in range(1 << r):
        e = error_of(patterns, x, h, observed)
        if e < best[1]:
            best = (h, e)
    return best


def greedy(patterns: list[int], r: int, x: list[int], observed=None) -> tuple[int, int]:
    h, error = 0, error_of(patterns, x, 0, observed)
    while True:
        best_h, best_e = h, error
        for j in range(r):
            if not (h >> j) & 1:
                e = error_of(patterns, x, h | (1 << j), observed)
                if e < best_e:
                    best_h, best_e = h | (1 << j), e
        if best_h == h:
            return h, error
        h, error = best_h, best_e


def kmax(r: int) -> int:
    return min(r, max(2, (r - 1).bit_length()))


def local_search(patterns, r, x, h, error, d, k_max, rng, observed=None):
    if d == 0 or k_max < 2:
        return h, error
    for _ in range(d):
        for k in range(2, k_max + 1):
            flip = 0
            while bin(flip).count("1") < k:
                flip |= 1 << rng.gen_index(r)
            cand = h ^ flip
            e = error_of(patterns, x, cand, observed)
            if e < error:
                h, error = local_search(patterns, r, x, cand, e, d - 1, k_max, rng, observed)
    return h, error


def solve(w: list[list[int]], x: list[int], method: str = "zeta", seed: int = 0, observed=None) -> tuple[int, int]:
    patterns, r = row_masks(w), len(w[0])
    if method in ("zeta", "naive"):
        return exhaustive(patterns, r, x, observed)
    h, e = greedy(patterns, r, x, observed)
    if method == "greedy":
        return h, e
    return local_search(patterns, r, x, h, e, r, kmax(r), Lcg64(seed), observed)


def transpose(a: list[list[int]]) -> list[list[int]]:
    return [list(col) for col in zip(*a)]


def ao_bmf(x: list[list[int]], r: int, method: str = "zeta", max_iter: int = 50, seed: int = 0, observed=None):
    """Returns (w, h, error, iterations) with w m x r and h r x n."""
    m, n = len(x), len(x[0])
    observed = observed or [[1] * n for _ in range(m)]
    x = [[b & o for b, o in zip(row, seen)] for row, seen in zip(x, observed)]  # unobserved cells read as 0
    cols, observed_cols = transpose(x), transpose(observed)
    nz = [j for j in range(n) if any(cols[j])]
    rng = Lcg64(seed)
    for k in range(min(len(nz), r)):
        t = k + rng.gen_index(len(nz) - k)
        nz[k], nz[t] = nz[t], nz[k]
    chosen = nz[: min(len(nz), r)]
    w = [[cols[chosen[k]][i] if k < len(chosen) else 0 for k in range(r)] for i in range(m)]
    best = ([row[:] for row in w], [[0] * n for _ in range(r)], sum(map(sum, x)))
    iterations = 0
    while True:
        hs = (solve(w, col, method, 0, seen)[0] for col, seen in zip(cols, observed_cols))
        ht = [[(hm >> j) & 1 for j in range(r)] for hm in hs]
        total, new_w = 0, []
        for row, seen in zip(x, observed):
            wm, e = solve(ht, row, method, 0, seen)
            new_w.append([(wm >> j) & 1 for j in range(r)])
            total += e
        w = new_w
        iterations += 1
        if total >= best[2]:
            break
        best = ([row[:] for row in w], transpose(ht), total)
        if iterations >= max_iter:
            break
    return best[0], best[1], best[2], iterations
