"""Image file formats, each behind one small interface, looked up by suffix.

``volumes`` (whole images) and ``streaming`` (runs of voxels) ask
``format_of(path)`` for the format of a file and call its methods; they
hold nothing of any one format themselves. A format is a subclass of
``Format`` that says, for its files:

- ``read_header``: shape, stored data type, affine and header, from the
  header alone;
- ``read``: the whole data as float64;
- ``write``: a whole volume, with a clean header of its own where the
  format has one;
- ``open_runs``: where the values lie in file (Fortran) order, for reading
  a run at a time: a memory-mapped array, or a byte stream positioned at
  the first value, with the stored data type and the scaling to apply;
- ``prelude``: the bytes that precede the values of a file written a run
  at a time (its header, uncompressed: the writer compresses), of a size
  that depends on the shape and data type only, so that the header can be
  rewritten in place at the end.

The formats are NIfTI (``Nifti``: .nii, .nii.gz) and NumPy (``Numpy``:
.npy). ``REGISTRY`` maps each suffix to its format; ``SUFFIXES`` and the
names in messages are derived from it. Adding a format is one subclass of
``Format`` and one row of ``REGISTRY``.

A path without a registered suffix has no format of its own:
``volumes.check_outputs`` refuses it as an output, and everything else
takes ``format_of(path, default=Nifti)``, handing it to nibabel, which
recognises more than these suffixes (a NIfTI pair's .hdr and .img) and says
itself what it cannot read.

Methods raise whatever the underlying reader or writer raises; ``volumes``
and ``streaming`` turn that into a VolumeError naming the user's path.
"""

import io
from dataclasses import dataclass

import numpy as np

__all__ = [
    "EndsEarly",
    "canonical_nan",
    "form_disagreement",
    "Format",
    "Nifti",
    "Numpy",
    "REGISTRY",
    "SUFFIXES",
    "Source",
    "format_of",
    "gzipped",
]


class EndsEarly(EOFError):
    """A file that ends before the place where its header says the data starts."""


def canonical_nan(values):
    """The values with every NaN made the one quiet NaN NumPy writes.

    Arithmetic on two NaNs returns one of them, sign bit included, by the
    order in which the operands reach the processor, and NumPy's vector
    body and scalar tail take them in different orders (``-NaN + NaN`` over
    17 elements gives both signs): the same map computed in runs of another
    length (another memory budget) could differ in the sign bits of its
    NaNs, and so in its bytes. Written through this, a map's bytes depend on
    its values alone.

    Parameters
    ----------
    values : numpy.ndarray

    Returns
    -------
    numpy.ndarray
        ``values`` itself where it holds no NaN (or is not floating point),
        else a copy.
    """
    if values.dtype.kind != "f":
        return values
    missing = np.isnan(values)
    if not missing.any():
        return values
    return np.where(missing, values.dtype.type(np.nan), values)


def gzipped(path):
    """Whether path names a gzip-compressed file (.gz).

    Parameters
    ----------
    path : path-like

    Returns
    -------
    bool
    """
    return str(path).endswith(".gz")


@dataclass
class Source:
    """Where the values of a volume lie, in file (Fortran) order.

    Exactly one of array and stream is set.

    Attributes
    ----------
    shape : tuple of int
    dtype : numpy.dtype
        The stored data type.
    scaling : tuple of float or None
        (slope, intercept) to apply to the stored values; None where they
        are the values.
    array : numpy.ndarray or None
        A read-only memory map of the data.
    stream : binary file or None
        A stream positioned at the first value (decompressed where the file
        is gzip-compressed); the reader closes it.
    """

    shape: tuple
    dtype: np.dtype
    scaling: tuple | None = None
    array: np.ndarray | None = None
    stream: object = None


class Format:
    """The interface of a file format; subclasses implement every method."""

    # Whether files of the format carry a header with the image's geometry
    # (affine, voxel sizes, units): those written a run at a time are then
    # handed one to complete.
    geometry = False

    @staticmethod
    def read_header(path):
        """What the header says, without reading the data.

        Parameters
        ----------
        path : path-like
            A regular file.

        Returns
        -------
        tuple
            (shape, dtype, affine, header): shape as a tuple, the stored
            data type, the affine (voxel to world, mm) and the header
            object; affine and header are None for a format without them.
        """
        raise NotImplementedError

    @staticmethod
    def read(path):
        """The whole data as a float64 array, scaled where the file says so.

        Parameters
        ----------
        path : path-like

        Returns
        -------
        numpy.ndarray
        """
        raise NotImplementedError

    @staticmethod
    def write(target, data, dtype, like, descrip):
        """Writes a whole volume to target.

        Parameters
        ----------
        target : path-like
            The file to write (a temporary file with the output's suffix).
        data : numpy.ndarray
            The values, already of dtype.
        dtype : numpy.dtype or type
            The data type to store.
        like : Volume or Probe or None
            The image whose geometry the output takes.
        descrip : str
            The description, where the format stores one.
        """
        raise NotImplementedError

    @staticmethod
    def open_runs(path, open_gzip):
        """The data of path, ready to be read a run at a time.

        Parameters
        ----------
        path : path-like
        open_gzip : callable
            open_gzip(path, "rb") opens a gzip-compressed file for reading
            (the fastest gzip library at hand).

        Returns
        -------
        Source
        """
        raise NotImplementedError

    @staticmethod
    def prelude(path, shape, dtype, header=None, low=np.inf, high=-np.inf):
        """The bytes before the values of a file written a run at a time.

        Their size depends on path, shape and dtype only, so that they can
        be written again over themselves once the values are known. They
        are the file's own bytes, before any compression.

        Parameters
        ----------
        path : path-like
            The output.
        shape : tuple of int
        dtype : numpy.dtype
            The stored data type.
        header : object, optional
            The header to complete, for a format with ``geometry``; changed
            in place.
        low, high : float
            The finite range of the values (low > high where there is none).

        Returns
        -------
        bytes
        """
        raise NotImplementedError


# Beyond these a NIfTI header's sform and qform place the image differently:
# the qform's float32 quaternion rounds its direction cosines by up to about
# 1e-3 for rotations near 180 degrees (its first component then cancels),
# while both store the translation in float32 alike.
FORM_SHIFT_MM = 1e-3
FORM_COSINE = 2e-3


def form_disagreement(header, shape):
    """How far a NIfTI header's qform places the image from its sform.

    Parameters
    ----------
    header : nibabel.Nifti1Header
    shape : tuple of int
        The image's shape; its first three axes span the corners measured.

    Returns
    -------
    float or None
        The largest distance (mm) between the places the two forms give
        a corner voxel; None when they agree (to the qform's rounding), or
        either is not set (code 0).
    """
    sform, s_code = header.get_sform(coded=True)
    qform, q_code = header.get_qform(coded=True)
    if not (s_code and q_code):
        return None
    zooms = np.linalg.norm(sform[:3, :3], axis=0)
    zooms[zooms == 0] = 1.0
    cosines = np.abs(qform[:3, :3] - sform[:3, :3]) / zooms
    shift = np.abs(qform[:3, 3] - sform[:3, 3])
    if shift.max() <= FORM_SHIFT_MM and cosines.max() <= FORM_COSINE:
        return None
    ends = [(0, max(int(n) - 1, 0)) for n in (tuple(shape) + (1, 1, 1))[:3]]
    corners = np.array([[i, j, k, 1.0] for i in ends[0] for j in ends[1] for k in ends[2]]).T
    return float(np.linalg.norm((qform - sform) @ corners, axis=0).max())


class Nifti(Format):
    """NIfTI-1 (.nii, .nii.gz), read and written through nibabel."""

    geometry = True

    @staticmethod
    def read_header(path):
        """What the NIfTI header says: see :meth:`Format.read_header`."""
        import nibabel

        image = nibabel.load(path)  # reads the header only
        return tuple(image.shape), image.get_data_dtype(), image.affine, image.header

    @staticmethod
    def read(path):
        """The data, scaled as the header says: see :meth:`Format.read`."""
        import nibabel

        return nibabel.load(path).get_fdata(dtype=np.float64)

    @staticmethod
    def geometry_header(like, shape, descrip):
        """A NIfTI header of its own for data of shape derived from like.

        Parameters
        ----------
        like : Volume or Probe or None
            The image the data derives from.
        shape : tuple of int
        descrip : str
            The description (ASCII, at most 79 characters kept).

        Returns
        -------
        tuple
            (header, affine, whether like's header was copied): like's
            affine with its qform and sform codes, voxel sizes and units
            (mm where like has no header), descrip, and no scaling; the data
            type and display range are the writer's to set.
        """
        import nibabel

        header = nibabel.Nifti1Header()
        header.set_data_shape(shape)
        source = getattr(like, "header", None)
        affine = getattr(like, "affine", None)
        if affine is None:
            affine = np.eye(4)
        copied = isinstance(source, nibabel.Nifti1Header)
        if copied:
            header.set_qform(*source.get_qform(coded=True))
            header.set_sform(*source.get_sform(coded=True))
            if form_disagreement(source, shape) is not None:
                # The maps were computed on the sform's grid (like.affine):
                # the qform says the same, or a reader of it misplaces them.
                sform, code = source.get_sform(coded=True)
                header.set_qform(sform, code=code)
            zooms = source.get_zooms()
            header.set_zooms(zooms[: len(shape)] + (1.0,) * (len(shape) - len(zooms)))
            header.set_xyzt_units(*source.get_xyzt_units())
        else:
            header.set_qform(affine, code=1)
            header.set_sform(affine, code=1)
            header.set_xyzt_units("mm")
        header["descrip"] = descrip.encode("ascii", "replace")[:79]
        header.set_slope_inter(1.0, 0.0)
        return header, affine, copied

    @staticmethod
    def _header(like, data, dtype, descrip):
        """geometry_header with the data's own type and cal_min/cal_max from
        its finite range (0 when there is none).
        """
        header, affine, copied = Nifti.geometry_header(like, data.shape, descrip)
        header.set_data_dtype(dtype)
        finite = data[np.isfinite(data)] if data.dtype.kind == "f" else data.reshape(-1)
        header["cal_min"], header["cal_max"] = (
            (finite.min(), finite.max()) if finite.size else (0, 0)
        )
        return header, affine, copied

    @staticmethod
    def write(target, data, dtype, like, descrip):
        """Writes a NIfTI-1 file with a header of its own (``geometry_header``,
        the data's type and its finite range as display range): see
        :meth:`Format.write`.
        """
        import nibabel

        header, affine, copied = Nifti._header(like, data, dtype, descrip)
        # With the header from an image, its qform and sform (codes included)
        # stand as they are; nibabel would otherwise code a bare affine as aligned.
        image = nibabel.Nifti1Image(data, None if copied else affine, header)
        nibabel.save(image, target)

    @staticmethod
    def open_runs(path, open_gzip):
        """A stream positioned at the first value (decompressed for .nii.gz),
        with the header's scaling: see :meth:`Format.open_runs`.
        """
        import nibabel

        image = nibabel.load(path)  # the header only
        proxy = image.dataobj  # where the data lies and how it is scaled
        slope, inter = float(proxy.slope), float(proxy.inter)
        source = Source(
            tuple(int(n) for n in proxy.shape),
            proxy.dtype,
            None if (slope, inter) == (1.0, 0.0) else (slope, inter),
        )
        # In a .nii.gz the data follows the header inside the gzip stream:
        # skip to it by decompressing, since a gzip stream cannot be seeked.
        stream = (open_gzip if gzipped(path) else open)(path, "rb")
        try:
            skip = int(proxy.offset)
            while skip > 0:
                got = len(stream.read(min(skip, 1 << 20)))
                if got == 0:
                    raise EndsEarly("file ends early")
                skip -= got
        except BaseException:
            stream.close()
            raise
        source.stream = stream
        return source

    @staticmethod
    def prelude(path, shape, dtype, header=None, low=np.inf, high=-np.inf):
        """The completed header and an empty extension block (the data then
        starts at byte 352): see :meth:`Format.prelude`.
        """
        # The display range is known only once every value is written; the
        # writer then puts these bytes again over the first ones (in a
        # .nii.gz it keeps them in a stored block for that).
        header.set_data_dtype(dtype)
        header.set_data_shape(shape)
        header.set_slope_inter(1.0, 0.0)
        if np.isfinite(low):
            header["cal_min"], header["cal_max"] = low, high
        else:
            header["cal_min"] = header["cal_max"] = 0
        header["vox_offset"] = 352
        return header.binaryblock + b"\0\0\0\0"  # no extensions


class Numpy(Format):
    """NumPy arrays (.npy): shape and data type, no geometry, no scaling."""

    @staticmethod
    def read_header(path):
        """Shape and data type from the .npy header (no affine, no header
        object); ValueError for an array of Python objects. See
        :meth:`Format.read_header`.
        """
        with open(path, "rb") as handle:
            version = np.lib.format.read_magic(handle)
            read_header = (
                np.lib.format.read_array_header_1_0
                if version == (1, 0)
                else np.lib.format.read_array_header_2_0
            )
            shape, _, dtype = read_header(handle)
        if dtype.hasobject:
            raise ValueError("holds Python objects, not numbers")
        return tuple(shape), dtype, None, None

    @staticmethod
    def read(path):
        """The array as float64 (never unpickled): see :meth:`Format.read`."""
        return np.asarray(np.load(path, allow_pickle=False), dtype=np.float64)

    @staticmethod
    def write(target, data, dtype, like, descrip):
        """Saves the array; geometry and description have no place in a .npy
        file. See :meth:`Format.write`.
        """
        np.save(target, data)

    @staticmethod
    def open_runs(path, open_gzip):
        """A read-only memory map of the array: see :meth:`Format.open_runs`."""
        array = np.load(path, mmap_mode="r", allow_pickle=False)
        return Source(array.shape, array.dtype, None, array=array)

    @staticmethod
    def prelude(path, shape, dtype, header=None, low=np.inf, high=-np.inf):
        """A version 2.0 .npy header of a Fortran-ordered array: see
        :meth:`Format.prelude`.
        """
        # Fortran order, so that runs are written as they come, like NIfTI's.
        buffer = io.BytesIO()
        np.lib.format.write_array_header_2_0(
            buffer,
            {
                "descr": np.lib.format.dtype_to_descr(dtype),
                "fortran_order": True,
                "shape": tuple(shape),
            },
        )
        return buffer.getvalue()


REGISTRY = {
    ".nii.gz": Nifti,
    ".nii": Nifti,
    ".npy": Numpy,
}
"""File suffix to the :class:`Format` subclass that reads and writes it."""

SUFFIXES = tuple(sorted(REGISTRY))
"""The registered suffixes in alphabetical order, as messages name them."""

# format_of tries the suffixes longest first, so that a suffix ending in
# another one is matched whole.
_LONGEST_FIRST = sorted(REGISTRY, key=len, reverse=True)


def format_of(path, default=None):
    """The format of a file, by the suffix of its name.

    Parameters
    ----------
    path : path-like
    default : Format subclass, optional
        What a path without a registered suffix gets.

    Returns
    -------
    Format subclass or None
        The format of the longest registered suffix path ends in, else
        default.
    """
    name = str(path)
    for suffix in _LONGEST_FIRST:
        if name.endswith(suffix):
            return REGISTRY[suffix]
    return default
