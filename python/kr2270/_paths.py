"""File paths as the library takes them: UTF-8 bytes on every platform (a
name that is not valid UTF-8 on a POSIX file system keeps its own bytes)."""
import os


def path_bytes(path):
    path = os.fspath(path)
    if isinstance(path, bytes):
        return path
    return path.encode("utf-8", "surrogateescape")
