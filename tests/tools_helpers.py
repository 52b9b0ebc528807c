"""Recordings and helpers shared by the tests of the `tiltgram` command."""

from __future__ import annotations

import os
import subprocess
import sys
import time

import builders

TILTGRAM = os.path.join(os.path.dirname(sys.executable), "tiltgram")


def run_cli(*args: str, timeout: float = 120, **kwargs) -> subprocess.CompletedProcess:
    """The installed `tiltgram` command, its output captured as text."""
    return subprocess.run([TILTGRAM, *args], capture_output=True, text=True, timeout=timeout,
                          **kwargs)


def good_recordings() -> dict[str, bytes]:
    """Relative path -> bytes of recordings that read: 3-axis packed, 6-axis that starts
    3-axis (NaN gyroscope values), 9-axis AX6 with an annotation."""
    three = builders.recording(builders.header(annotation="_c=study"),
                               builders.contiguous_blocks(40, seed=1, temperature=300))
    mixed = builders.recording(
        builders.header(hardware_type=builders.HW_AX6, sensor_config=0x02),
        builders.contiguous_blocks(10, seed=2)
        + builders.contiguous_blocks(20, format=0x62, seed=3,
                                     start=builders.pack_time(2020, 1, 1, 0, 0, 12)))
    nine = builders.recording(
        builders.header(hardware_type=builders.HW_AX6, sensor_config=0x12),
        builders.contiguous_blocks(30, format=0x92, seed=4, raw_light=200, battery=180))
    return {"a.cwa": three, "sub/b.CWA": mixed, "sub/deeper/c.cwa": nine}


def bad_recordings() -> dict[str, bytes]:
    """Relative path -> bytes of recordings the reader refuses."""
    good = builders.contiguous_blocks(5, seed=5)
    return {
        "corrupt.cwa": builders.recording(
            builders.header(), good + [builders.packet(timestamp=0xFFFFFFFF)]),
        "truncated.cwa": builders.recording(builders.header(), good, trailing=bytes(100)),
        "notes.cwa": b"Not a recording at all.\n" * 100,
    }


def write_tree(root, files: dict[str, bytes]) -> list[str]:
    paths = []
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        paths.append(builders.write(path, data))
    return paths


def stem(rel: str) -> str:
    name = os.path.basename(rel)
    return name[: -len(".cwa")] if name.lower().endswith(".cwa") else name


def wait_for(predicate, timeout: float = 60.0) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting")
        time.sleep(0.005)


def open_fifo_writer(path: str, timeout: float = 60.0) -> int:
    """Opens a FIFO for writing once a reader has it open (a worker blocked in its read)."""
    fd: list[int] = []

    def opened() -> bool:
        try:
            fd.append(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            return False
        return True

    wait_for(opened, timeout)
    return fd[0]


def holders(prefix: str) -> list[int]:
    """Ids of the other processes that have a file open whose path starts with `prefix`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        try:
            links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
        except OSError:
            continue
        if any(link.startswith(prefix) for link in links):
            found.append(int(pid))
    return found


def kill_reader(path: str, sig: int) -> int:
    """Waits for the one other process that has `path` open and sends it `sig`."""
    wait_for(lambda: holders(path))
    (pid,) = holders(path)
    os.kill(pid, sig)
    return pid
