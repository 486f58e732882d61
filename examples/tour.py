"""A short tour of BitMatrix."""
import Valdrix
from Valdrix import BitMatrix

m = BitMatrix(3, 70, True)
print(repr(m))
print("shape:", m.shape, "len:", len(m))
m[0, 69] = False
print("m[0, 69] =", m[0, 69], "m[1, 69] =", m[1, 69])
c = m.copy()
c[2, 0] = False
print("original:", repr(m))
print("copy:    ", repr(c))
print("Valdrix", Valdrix.__version__, "exports", Valdrix.__all__)
