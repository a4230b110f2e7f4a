#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: one input per scenario that the unit
tests run, in the input layout that PipelineFuzzer.cpp reads (byte 0: the
length of the operations part in units of 4 bytes; then the operations,
read from their end; then the platform's answers). Run from the source tree:
    fuzz/make_seeds.py fuzz/corpus
"""
import os
import sys

# Operation numbers, as PipelineFuzzer.cpp's operation() numbers them.
NEW_BACKUP, DATA_TYPE, BACKUP_SETUP, ADD_STREAM, OFFSET, CLOSE_ALL, CLOSE_ONE, OWN_CLOSE = range(8)
NEW_RESTORE, SET_LIST, RESTORE_SETUP = 8, 9, 11
CHECK, OPEN, SEEK, CLOSE_FILE, CLOSE_FILES, CLOSE_PIPELINE, CLOSE_PIPELINES = 14, 15, 16, 17, 18, 19, 20
SHUTDOWN, REOPEN, SETTING = 21, 22, 23


def step(op, *args, throw_at=0):
    """One step: the throw selector, the operation, its argument bytes."""
    return [231 + throw_at if throw_at else 0, op, *args]


def stream(n):
    return [4, n - 1]  # a stream number 1..8


def files(count, first=0, read_all=True):
    entries = []
    for i in range(count):
        entries += [first + i, i + 1, 1 if read_all else 0]  # file, offset, readAll
    return [0, count] + entries  # narrow list: count 0..4


def seed(steps, answers=120):
    ops = list(reversed([b for s in steps for b in s]))  # read from the end
    units = (len(ops) + 3) // 4
    ops = [0] * (units * 4 - len(ops)) + ops  # padding, read last
    # Answers alternate success-and-close / success-and-destroy: every send
    # and open succeeds, and every wait ends at its first or second read.
    return bytes([units]) + bytes(ops) + bytes([i % 2 for i in range(answers)])


SEEDS = {
    "backup-close-all": [step(BACKUP_SETUP, 2, 1, 3, 1), step(OFFSET, *stream(1)),
                         step(CLOSE_ALL, 1, 0)],
    "backup-invalidate": [step(DATA_TYPE, 0, 2, 2), step(BACKUP_SETUP, 2, 2, 3, 3),
                          step(CLOSE_ALL, 0, 0)],
    "backup-single-closes": [step(BACKUP_SETUP, 0, 4, 3, 0), step(CLOSE_ONE, *stream(2), 1, 1),
                             step(ADD_STREAM, 6), step(CLOSE_ONE, *stream(1), 0, 0),
                             step(CLOSE_ALL, 1, 0)],
    "backup-own-close": [step(OWN_CLOSE, 1, 1), step(OWN_CLOSE, 0, 0)],
    "backup-throw": [step(BACKUP_SETUP, 0, 1, 3, 0, throw_at=9), step(CLOSE_ALL, 1, 0)],
    "restore-repeat": [step(SET_LIST, *files(3)), step(RESTORE_SETUP), step(RESTORE_SETUP),
                       step(CLOSE_PIPELINES), step(SHUTDOWN)],
    "restore-changed-list": [step(SET_LIST, *files(3)), step(RESTORE_SETUP),
                             step(SET_LIST, *files(4, 4)), step(RESTORE_SETUP), step(CHECK),
                             step(CLOSE_FILES), step(SHUTDOWN)],
    "restore-reopen": [step(REOPEN, 1), step(SET_LIST, *files(2)), step(RESTORE_SETUP),
                       step(RESTORE_SETUP), step(CLOSE_FILES), step(CLOSE_PIPELINES),
                       step(SHUTDOWN)],
    "restore-delay-closes": [step(SETTING, 1, 1), step(SET_LIST, *files(3, read_all=False)),
                             step(OPEN), step(SEEK), step(CLOSE_FILE, 1, 0, 1, *stream(1)),
                             step(CLOSE_PIPELINE, *stream(2)), step(CLOSE_PIPELINES),
                             step(SHUTDOWN)],
    "restore-shutdown-throw": [step(SET_LIST, *files(3)), step(RESTORE_SETUP),
                               step(SHUTDOWN, throw_at=4), step(CLOSE_PIPELINES),
                               step(SHUTDOWN)],
    "restore-after-shutdown": [step(NEW_RESTORE, 5, 6), step(SET_LIST, *files(2)),
                               step(RESTORE_SETUP), step(SHUTDOWN), step(RESTORE_SETUP),
                               step(CLOSE_PIPELINES), step(SHUTDOWN), step(NEW_BACKUP)],
}

if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "fuzz/corpus"
    os.makedirs(out, exist_ok=True)
    for name, steps in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(seed(steps))
