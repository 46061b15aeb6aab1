#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/: real frames, connect strings of the INI,
command buffers, J2534 records and INI files, laid out as each target reads its input.
Usage: make_seeds.py [TRAVONE.ini RP121032.ini]  (the files rp1210_ini writes)."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


def write(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def frames(*hexes):
    out = b""
    for x in hexes:
        b = h(x)
        out += bytes([len(b)]) if len(b) < 255 else b"\xff" + len(b).to_bytes(2, "little")
        out += b
    return out


# ---- 1: answer frames. Settings byte (echo per client), four filter records, frames.
records = h("00 00 ef 00 06 f9 00") + bytes(9) + bytes(16) * 3
dispatch = {
    "send_answers": ["04 04 10 00 01 11 22 33 44 00 02 aa bb", "04 04 11 00 03 11 22 33 44 00 01 5a",
                     "04 04 0f 07 02 11 22 33 44 00 00"],
    "received": ["04 05 10 00 0b 11 22 33 44 00 ef 00 06 f9 00 aa", "04 05 0f 00 06 11 22 33 44 80 fe",
                 "04 05 02 00 0a 11 22 33 44 00 00 07 e8 02 01"],
    "segments": ["04 d3 10 07 00 00 0a 01 02 03 04 00 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10",
                 "04 d3 11 08 10 01 00 01 02 03 04 00 00 aa", "04 d3 11 08 11 00 00 01 02 03 04 bb"],
    "ioctl": ["04 0d 03 99 01 00 00 00 02 00 00 00 01 00 00 00 2a", "04 0d 03 99 05 00 00 00 03 c1 ef 8f"],
    "services": ["04 02 01 00 07", "04 03 02 00", "04 06 01 a0 a1 a2 a3 a4 a5 a6 a7", "04 eb 01 99 01 00",
                 "04 01 00 41 37 2e 30 31 20 20 20 20 20 20 20 20 20 20 20 20", "04 f2 00", "04 f4 00 00 00 00 00"],
}
for name, fs in dispatch.items():
    write("fuzz_dispatch", name, b"\x55" + records + frames(*fs))

# ---- 2: connect strings, for each generation (type index, version).
strings = [b"J1939", b"J1939:Baud=500", b"J1939:Baud=Auto", b"CAN:Baud=1000", b"CAN:Channel=1,Baud=500",
           b"ISO15765:Baud=Auto", b"ISO15765:Channel=2;Baud=500", b"J1708:CommPin1=3:CommPin2=11",
           b"KWP2000:CommPin1=7:CommPin2=15:24V=true", b"SWCAN", b"J1850VPW", b"GMLAN:Baud=500",
           b"ISO9141_2:Baud=10400", b"CAT", b"NULL", b"J1939:"]
for i, s in enumerate(strings):
    write("fuzz_connect_string", "s%02d" % i, bytes([i % 7, (1, 3, 6, 9, 1, 7, 1)[i % 7]]) + s)

# ---- 3: commands. Generation, state selector, tail length, then client, command index, length, data, claim.
commands = [(16, "01"), (215, "0a 0a"), (4, "00 00 ef 00 06 f9 00"), (19, "f9 00 00 00 00 00 00 00 00 00"),
            (22, "01 00 00 00 00 e8 03 00 00 07 00 00 ef 00 06 f9 00 aa"), (34, "00 00 00 07 e0 00 00 07 e8 00 00"),
            (37, "04"), (45, ""), (9, "00 00 00 07 e8 00 00 07 e0"), (0, ""), (1001, "01 cc"), (27, "0a 00 00 00")]
index = {n: i for i, n in enumerate([0, 3, 4, 5, 7, 8, 9, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
                                     29, 30, 31, 32, 33, 34, 35, 37, 38, 39, 41, 42, 45, 46, 47, 48, 211, 215, 305,
                                     1000, 1001, 1002, 1003])}
for i, (number, data) in enumerate(commands):
    d = h(data)
    for client in range(2):
        write("fuzz_send_command", "c%02d_%d" % (i, client),
              bytes([5, 1, 0, client, index[number], len(d)]) + d + b"\x00")

# ---- 4: ioctls. Generation, tail length and tail, then client, id index, input and output records.
def slist(params):
    return bytes([3, len(params)]) + b"".join(bytes([p]) + v.to_bytes(4, "little") for p, v in params)


def sbytes(data):
    return bytes([3, len(data)]) + data


ioctls = [
    (h("00 00 00 02 00 00 00 01 00 00 00 2a"), 0, slist([(1, 0), (2, 0)]), slist([(1, 0), (2, 0)])),
    (b"", 1, slist([(1, 500000), (0x1f, 1)]), bytes([0])),
    (h("00 00 00 03 c1 ef 8f"), 2, sbytes(b"\x33"), sbytes(bytes(8))),
    (h("00 00 00 01 55"), 3, sbytes(h("c1 33 f1 81 66")), sbytes(bytes(16))),
    (b"", 4, sbytes(b""), bytes([0])),
    (h("00 00 00 02 01 02"), 10, sbytes(h("02 00 19 00 19")), sbytes(bytes(4))),
    (b"", 7, sbytes(b"\x01"), bytes([0])),
]
for i, (tail, pick, rin, rout) in enumerate(ioctls):
    write("fuzz_ioctl", "i%02d" % i, bytes([5, len(tail)]) + tail + bytes([0, pick]) + rin + rout)

# ---- 5: messages. Generation, echo settings, then operations: op, client, fields.
def send(client, data, op=0):
    return bytes([op, client]) + len(data).to_bytes(2, "little") + data + b"\x00"


def read(client, size, block=False):
    return bytes([1 | (4 if block else 0), client]) + (size + 8).to_bytes(2, "little")


def bus(op, data):
    return bytes([op, 0, len(data)]) + data


messages = {
    "j1939_echo": send(0, h("00 ef 00 06 f9 00 aa bb")) + read(0, 64) + read(0, 64, True),
    "long_j1939": send(0, bytes(range(256)) * 7) + read(0, 2048, True),
    "iso15765": send(2, h("00 00 07 e0 02 10 03")) + bus(2, h("00 00 07 e8 02 50 03")) + read(2, 32),
    "j1708": send(3, h("80 ac 01")) + bus(3, h("80 fe 01 02")) + read(3, 8) + read(3, 2),
    "small_buffer": bus(0, h("00 fe ca 06 00 ff 01 02 03 04 05 06 07 08")) + read(0, 4) + read(0, 0, True),
}
for name, ops in messages.items():
    write("fuzz_messages", name, bytes([5, 0x05]) + ops)

# ---- 6: adapter inputs. Block size, STmin, then records (kind, fields).
def request(data):
    return bytes([0x10, len(data)]) + data


def segment(data):
    return bytes([0x11, len(data)]) + data


def j1939(kind, source, destination, data):
    return bytes([0x12, kind, source, destination, 0]) + data


def iso(pick, data):
    return bytes([0x13, pick, 0]) + data


adapter = {
    "requests": request(h("04 02 01 10 07 00")) + request(h("04 04 11 10 05 00 07 00 ef 00 06 f9 00 aa")) +
                request(h("04 0d 03 11 01 00 00 00 01 00 00 00 01")) + request(h("04 03 01 10")),
    "segments": segment(h("04 d2 11 10 05 00 0a 10 00 01 02 03 04")) + segment(h("04 d2 11 10 05 00 0a 11 05 06 07 08 09")),
    "j1939_rts": j1939(0, 0, 2, h("10 10 00 03 ff 00 ef 00")) + j1939(1, 0, 2, h("01 01 02 03 04 05 06 07")) +
                 j1939(1, 0, 2, h("02 08 09 0a 0b 0c 0d 0e")) + j1939(1, 0, 2, h("03 0f 10 ff ff ff ff ff")),
    "j1939_bam": j1939(0, 0, 3, h("20 0e 00 02 ff ca fe 00")) + j1939(1, 0, 3, h("01 01 02 03 04 05 06 07")) +
                 j1939(1, 0, 3, h("02 08 09 0a 0b 0c 0d 0e")),
    "j1939_cts": j1939(0, 0, 2, h("11 02 01 ff ff 00 ef 00")) + j1939(0, 0, 2, h("13 2c 01 2b ff 00 ef 00")),
    "isotp": iso(0, h("10 0a 01 02 03 04 05 06")) + iso(0, h("21 07 08 09 0a cc cc cc")) +
             iso(0, h("30 00 00 cc cc cc cc cc")) + iso(1, h("03 22 f1 90 cc cc cc cc")) +
             iso(2, h("f1 02 10 03 cc cc cc cc")),
}
for name, data in adapter.items():
    write("fuzz_adapter_frames", name, bytes([0, 0]) + data)

# ---- 7: INI files: the driver's own, and small hand-edited ones.
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        write("fuzz_ini", os.path.basename(path).lower(), f.read())
write("fuzz_ini", "hand_edited", b"; comment\r\n[vendorinformation]\r\n Devices = 1, 2 ,\r\n#x\r\n[DeviceInformation1]\r\n"
      b"DeviceID=1\r\nDeviceParams=Bus=Simulator;AdapterType=K;AdapterVersion=3\r\n[DeviceInformation2\r\nDeviceID=x\r\n")
