"""Thread pool: checksum a directory tree concurrently with a ThreadPoolExecutor (I/O-bound work)."""

import hashlib
import os
import sys
from concurrent.futures import ThreadPoolExecutor


def iter_files(root):
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if not d.startswith(".")]
        for name in filenames:
            yield os.path.join(dirpath, name)


def checksum(path, block_size=1 << 16):
    """SHA-256 of one file, read in blocks (hashlib releases the interpreter lock on large blocks);
    None for a file that vanished or cannot be read."""
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as handle:
            for block in iter(lambda: handle.read(block_size), b""):
                digest.update(block)
    except OSError:
        return None
    return digest.hexdigest()


def checksum_tree(root, workers=8):
    """Each worker thread hashes whole files; pool.map hands back the results in input order."""
    paths = list(iter_files(root))
    with ThreadPoolExecutor(max_workers=workers) as pool:
        digests = pool.map(checksum, paths)
        return {path: digest for path, digest in zip(paths, digests) if digest is not None}


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    root = argv[0] if argv else os.path.dirname(os.path.abspath(__file__))
    results = checksum_tree(root)
    for path in sorted(results)[:5]:
        print(results[path][:16], os.path.relpath(path, root))
    print("%d files hashed" % len(results))


if __name__ == "__main__":
    main()
