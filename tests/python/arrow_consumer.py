"""What a C consumer of the Arrow export does, through ctypes: it moves an
exported ArrowArray out of its capsule and releases it on a thread of its own,
one that Python does not know."""
import ctypes
import os

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
