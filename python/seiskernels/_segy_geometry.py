"""The 3-D geometry of a SEG-Y survey from its traces' inline, crossline
and offset numbers: a regular grid found, its sorting, and where each
(inline, crossline, offset) lies in the file."""

from __future__ import annotations

import numpy as np


class Geometry:
    """A regular 3-D grid of traces: every (inline, crossline, offset) of
    the line numbers and offsets found, each exactly once.

    Attributes
    ----------
    inlines, crosslines, offsets : numpy.ndarray
        The numbers found, ascending.
    sorting : {'inline', 'crossline', 'unsorted'}
        'inline' where the traces of each inline lie together in the file
        (segyio's INLINE_SORTING, code 2), 'crossline' where those of each
        crossline do (CROSSLINE_SORTING, 1), else 'unsorted'.  A survey of
        one inline counts as sorted by inline.
    index : numpy.ndarray
        int64 (inlines, crosslines, offsets): the trace number of each.

    Raises
    ------
    ValueError
        Traces that make no regular grid: the message names a repeated or
        missing (inline, crossline, offset) and the header bytes read.
    """

    def __init__(self, inline, crossline, offset, path="", where=(189, 193, 37)):
        self.inlines, ii = np.unique(inline, return_inverse=True)
        self.crosslines, jj = np.unique(crossline, return_inverse=True)
        self.offsets, kk = np.unique(offset, return_inverse=True)
        ni, nx, no = len(self.inlines), len(self.crosslines), len(self.offsets)
        n = len(inline)
        cell = (ii.astype(np.int64) * nx + jj) * no + kk
        index = np.full(ni * nx * no, -1, np.int64)
        index[cell] = np.arange(n)
        named = (f"(inline, crossline, offset) from trace header bytes {where[0]}, {where[1]} "
                 f"and {where[2]}")
        if n == 0:
            raise ValueError(f"{path}: no traces, so no 3-D geometry")
        if index.min() < 0 or n != index.size:
            seen = np.zeros(index.size, np.int64)
            np.add.at(seen, cell, 1)
            twice = np.flatnonzero(seen[cell] > 1)
            if twice.size:
                t = twice[1] if twice.size > 1 else twice[0]
                raise ValueError(
                    f"{path}: not a regular 3-D grid: trace {t} repeats {named} "
                    f"{(int(inline[t]), int(crossline[t]), int(offset[t]))} of trace "
                    f"{twice[0]}")
            c = int(np.flatnonzero(index < 0)[0])
            i, j, k = c // (nx * no), c // no % nx, c % no
            raise ValueError(
                f"{path}: not a regular 3-D grid of {ni} inlines, {nx} crosslines and {no} "
                f"offsets: no trace has {named} "
                f"{(int(self.inlines[i]), int(self.crosslines[j]), int(self.offsets[k]))}")
        self.index = index.reshape(ni, nx, no)
        by_inline = self.index.reshape(ni, -1)
        by_crossline = self.index.transpose(1, 0, 2).reshape(nx, -1)
        if (by_inline.max(1) - by_inline.min(1) == nx * no - 1).all():
            self.sorting = "inline"
        elif (by_crossline.max(1) - by_crossline.min(1) == ni * no - 1).all():
            self.sorting = "crossline"
        else:
            self.sorting = "unsorted"

    @staticmethod
    def _find(numbers, value, what):
        at = np.searchsorted(numbers, value)
        if at >= len(numbers) or numbers[at] != value:
            shown = numbers if len(numbers) <= 8 else \
                f"{numbers[0]} to {numbers[-1]} ({len(numbers)} of them)"
            raise KeyError(f"{what} {value} is not in the survey: its {what}s are {shown}")
        return int(at)

    def traces(self, inline=None, crossline=None, offset=None) -> np.ndarray:
        """Trace numbers of one inline, one crossline or the whole grid (and
        one offset, or all), shaped as the samples are returned: the
        offset axis dropped where there is one offset or one was chosen."""
        index = self.index
        if offset is not None:
            index = index[:, :, self._find(self.offsets, offset, "offset")]
        elif len(self.offsets) == 1:
            index = index[:, :, 0]
        if inline is not None:
            index = index[self._find(self.inlines, inline, "inline")]
        elif crossline is not None:
            index = index[:, self._find(self.crosslines, crossline, "crossline")]
        return index

    def __repr__(self):
        return (f"Geometry({len(self.inlines)} inlines {self.inlines[0]}-{self.inlines[-1]}, "
                f"{len(self.crosslines)} crosslines {self.crosslines[0]}-"
                f"{self.crosslines[-1]}, {len(self.offsets)} offsets, sorted by "
                f"{self.sorting})")
