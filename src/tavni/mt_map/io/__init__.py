"""Image files for the mt-map workflows: formats, whole volumes, runs of voxels.

- :mod:`~tavni.mt_map.io.formats`: the file formats (NIfTI .nii and
  .nii.gz, NumPy .npy) behind one interface, looked up by suffix;
- :mod:`~tavni.mt_map.io.volumes`: the checks made before anything is read
  (outputs, headers, geometry, memory), whole images, and writing every
  output or none;
- :mod:`~tavni.mt_map.io.streaming`: volumes a run of voxels at a time,
  through a computation, within a memory budget; its inputs read by
  :mod:`~tavni.mt_map.io.run_readers`, its outputs written by
  :mod:`~tavni.mt_map.io.run_writer`.

Failures raise :class:`~tavni.mt_map.io.volumes.VolumeError` with one line
that names the user's file.
"""

__all__ = ["formats", "run_readers", "run_writer", "streaming", "volumes"]
