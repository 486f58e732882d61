"""A short tour of BitMatrix: build, combine, count, convert."""
import numpy as np

import Valdrix
from Valdrix import BitMatrix

m = BitMatrix(3, 70, True)
m[0, 69] = False
print(repr(m), "shape", m.shape, "len", len(m))
print("m[0, 69] =", m[0, 69], " m[1, 69] =", m[1, 69])

eye = BitMatrix.from_list([[1, 0, 0], [0, 1, 0], [0, 0, 1]])
corner = BitMatrix.from_numpy(np.array([[True, True, False], [True, False, False], [False, False, False]]))
print("eye | corner:")
print(eye | corner)
print("eye ^ corner has", (eye ^ corner).count_ones(), "ones; hamming distance", eye.hamming(corner))
print("corner @ corner:", (corner @ corner).to_list())
print("~eye as NumPy:\n", (~eye).to_numpy().astype(int))
print("Valdrix", Valdrix.__version__, "exports", Valdrix.__all__)
