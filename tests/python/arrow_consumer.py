"""What a C consumer of the Arrow export does, through ctypes: it moves an
exported ArrowArray out of its capsule and releases it on a thread of its own,
one that Python does not know; and what such a thread can do while this one
keeps the interpreter lock."""
import ctypes
import os
import sys
import time

locked = ctypes.PyDLL(None)  # calls keep the interpreter lock
locked.PyCapsule_GetPointer.restype = ctypes.c_void_p
locked.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
locked.PyInterpreterState_Main.restype = ctypes.c_void_p
locked.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
locked.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
locked.PyThreadState_Next.restype = ctypes.c_void_p
locked.PyThreadState_Next.argtypes = [ctypes.c_void_p]
locked.pthread_create.argtypes = [ctypes.c_void_p] * 4
locked.pthread_tryjoin_np.argtypes = [ctypes.c_ulong, ctypes.c_void_p]
unlocked = ctypes.CDLL(None)  # calls give the lock away meanwhile
unlocked.pthread_join.argtypes = [ctypes.c_ulong, ctypes.c_void_p]


class ArrowArray(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int64) for name in
                ("length", "null_count", "offset", "n_buffers", "n_children")] + \
               [(name, ctypes.c_void_p) for name in
                ("buffers", "children", "dictionary", "release", "private_data")]


def moved_out(capsule):
    """The capsule's ArrowArray, moved into one the caller owns."""
    inside = ArrowArray.from_address(locked.PyCapsule_GetPointer(capsule, b"arrow_array"))
    array = ArrowArray()
    ctypes.memmove(ctypes.addressof(array), ctypes.addressof(inside), ctypes.sizeof(array))
    inside.release = None
    return array


def start_release(array):
    """A new thread, unknown to Python, that releases `array`; started while
    this one keeps the interpreter lock."""
    thread = ctypes.c_ulong()
    assert locked.pthread_create(ctypes.byref(thread), None, array.release,
                                 ctypes.addressof(array)) == 0
    return thread.value


def ended(thread):
    """Whether `thread` has ended (it is joined then), asked with the lock kept."""
    return locked.pthread_tryjoin_np(thread, None) == 0


def thread_states():
    """The interpreter's thread states: a thread has one once it asks for the lock."""
    n, state = 0, locked.PyInterpreterState_ThreadHead(locked.PyInterpreterState_Main())
    while state:
        n, state = n + 1, locked.PyThreadState_Next(state)
    return n


def release_on_foreign_thread(array):
    """Releases `array` on a thread that Python does not know while this one
    keeps the interpreter lock; whether the release waited for the lock (it
    gets it then, so that a test fails instead of hanging)."""
    states, thread = thread_states(), start_release(array)
    while not ended(thread):
        if thread_states() > states:
            unlocked.pthread_join(thread, None)
            return True
    assert array.release is None
    return False


def resident_bytes():
    """The process's memory in RAM: the columns' pages count once written. (Its
    mapped size would also count the arena and stack of each new thread.)"""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


locked.open.argtypes = [ctypes.c_char_p, ctypes.c_int]
locked.read.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t]
locked.read.restype = ctypes.c_ssize_t


_own_reads = [0]  # what bytes_read took itself


def bytes_read():
    """The bytes the process's reads have taken from files (rchar), but for its own reads of
    /proc, asked with the lock kept."""
    fd, buf = locked.open(b"/proc/self/io", os.O_RDONLY), ctypes.create_string_buffer(4096)
    n = locked.read(fd, buf, len(buf))
    locked.close(fd)
    # The kernel counts this read after writing the text: only the earlier ones are in it.
    count = int(buf.raw[:n].split(b"\n")[0].split()[1]) - _own_reads[0]
    _own_reads[0] += n
    return count


def keep_lock_until(done, seconds):
    """Keeps the interpreter lock on this thread until done() or the time is up; done()'s last
    answer. done() must not give the lock away (calls through `locked` do not)."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        deadline = time.monotonic() + seconds
        while not done() and time.monotonic() < deadline:
            pass
        return done()
    finally:
        sys.setswitchinterval(interval)
