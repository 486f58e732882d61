"""Boolean matrix factorisation for scikit-learn, pandas and SciPy users.

- :func:`alternate` runs ``Valdrix.ao_bmf`` one iteration at a time;
- :class:`BMF` is a scikit-learn transformer over it, with restarts on
  threads, progress, any 0/1 input, and exact encoding of new rows;
- :func:`read_matrix` loads a 0/1 matrix from a CSV file (blanks are
  missing cells) or a FIMI file.

Needs scikit-learn, SciPy and pandas: ``pip install "Valdrix[learn]"``.
"""
from __future__ import annotations

try:
    import scipy.sparse  # type: ignore[import-untyped, unused-ignore]
    import sklearn  # type: ignore[import-untyped, unused-ignore]
except ImportError as e:
    raise ImportError(
        f'valdrix_learn a besoin de scikit-learn et de SciPy ({e.name} manque) : pip install "Valdrix[learn]"'
    ) from e

from ._alternate import Step, alternate
from ._bmf import BMF
from ._files import read_matrix

__all__ = ["BMF", "Step", "alternate", "read_matrix"]
