"""A small model of the two layouts: what a reader makes of a whole file.

models[layout](content) lists the file's outcome in order: one tuple per
event (its header values as the event dict gives them, then the sample
bytes), PANIC where PanicException "capacity overflow" interrupts; the list
ends where the stream ends. Shared by the hostile-file tests and the fuzzer.
"""
import struct

PANIC = "panic"
U64 = 2**64
MAX_OBJECT = 2**63 - 1


def wd1_model(b):
    out, pos = [], 0
    while len(b) - pos >= 24:
        head = struct.unpack_from("<6i", b, pos)
        n = int((head[0] - 24) / 2)  # truncates toward zero
        if n < 0:
            out.append(PANIC)
            pos += 24
            continue
        if 2 * n > len(b) - pos - 24:
            break
        out.append(head + (b[pos + 24:pos + 24 + 2 * n],))
        pos += 24 + 2 * n
    return out


def wd2_block(samples, channels):
    return samples * channels * 4 % U64


def wd2_probe(b):
    if len(b) < 28:
        return 1
    e1, _, s1, p1, n = struct.unpack_from("<IQIQi", b)
    block = wd2_block(s1, n)
    if block > MAX_OBJECT or block > len(b) - 28:
        return 1
    if len(b) - 28 - block < 28:
        return n if n >= 2 else 1
    e2, _, s2, p2, n2 = struct.unpack_from("<IQIQi", b, 28 + block)
    return n if (n2, p2, s2, e2) == (n, p1, s1, (e1 + 1) % 2**32) else 1


def wd2_model(b):
    probed = wd2_probe(b)
    header = 28 if probed >= 2 else 24
    out, pos = [], 0
    while len(b) - pos >= header:
        counter, timestamp, samples, period = struct.unpack_from("<IQIQ", b, pos)
        channels = struct.unpack_from("<i", b, pos + 24)[0] if probed >= 2 else probed
        block = wd2_block(samples, probed)
        if block > MAX_OBJECT:
            out.append(PANIC)
            pos += header
            continue
        if block > len(b) - pos - header:
            break
        start = pos + header
        out.append((counter, timestamp, samples, period, channels, b[start:start + block]))
        pos = start + block
    return out


MODELS = {"WD1": wd1_model, "WD2": wd2_model}
