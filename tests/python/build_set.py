"""Builds a sharded set with the Python package, for the C tests of sets:

    build_set.py build_sharded|dask PATH SHARDS < record text

The records come in the builder's record text ("+klen,dlen:key->data\n"
each, an empty line at the end). Exits 77 when the build cannot run here
(no Dask), so that the caller skips rather than fails.
"""

import sys

import qef64

try:
    import dask
    import dask.bag

    import qef64.dask
except ImportError as e:  # depends on the machine
    dask = None
    missing = str(e)


def records(text):
    out = []
    i = 0
    while text[i:i + 1] == b"+":
        comma = text.index(b",", i)
        colon = text.index(b":", comma)
        key_len = int(text[i + 1:comma])
        data_len = int(text[comma + 1:colon])
        key = colon + 1
        data = key + key_len + 2
        out.append((text[key:key + key_len], text[data:data + data_len]))
        i = data + data_len + 1
    return out


def main():
    how, path, shards = sys.argv[1], sys.argv[2], int(sys.argv[3])
    pairs = records(sys.stdin.buffer.read())
    if how == "build_sharded":
        qef64.build_sharded(path, pairs, shards=shards, memory=1 << 14)
        return 0
    if dask is None:
        print("skipped: %s" % missing)
        return 77
    # Partitions keep the order of the sequence, so each key's records
    # keep the order of the input.
    bag = dask.bag.from_sequence(pairs, npartitions=3)
    with dask.config.set(scheduler="sync"):
        qef64.dask.build(bag, path, shards=shards, memory=1 << 14)
    return 0


if __name__ == "__main__":
    sys.exit(main())
