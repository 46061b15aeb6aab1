#!/usr/bin/env python3
"""An RP1210 client in plain Python (ctypes), written the way Python RP1210 clients call
a driver: find the implementation in the INI files, load its library, connect J1939,
read engine speed, request the VIN, disconnect.

    RP1210_INI=<folder of RP121032.ini> python3 python_client.py
"""
import configparser
import ctypes
import os
import sys
import time

ini_dir = os.environ.get("RP1210_INI", "/etc/rp1210")
if os.path.isfile(ini_dir):
    ini_dir = os.path.dirname(ini_dir)


def read_ini(path):
    ini = configparser.ConfigParser(strict=False, interpolation=None)
    if not ini.read(path):
        sys.exit(f"cannot read {path}")
    return ini


system = read_ini(os.path.join(ini_dir, "RP121032.ini"))
names = [n.strip() for n in system["RP1210Support"]["APIImplementations"].split(",") if n.strip()]
name = names[0]
vendor = read_ini(os.path.join(ini_dir, name + ".ini"))
print(f"implementation {name}: {vendor['VendorInformation']['Name']}")
for dev in vendor["VendorInformation"]["Devices"].split(","):
    section = vendor[f"DeviceInformation{dev.strip()}"]
    print(f"  device {section['DeviceID']}: {section['DeviceName']}")

# The driver's file is named after the implementation: beside the INI files, else on the
# loader's path.
beside = os.path.join(ini_dir, name + ".so")
dll = ctypes.CDLL(beside if os.path.exists(beside) else name + ".so")
dll.RP1210_ClientConnect.argtypes = [ctypes.c_void_p, ctypes.c_short, ctypes.c_char_p,
                                     ctypes.c_long, ctypes.c_long, ctypes.c_short]
dll.RP1210_ClientConnect.restype = ctypes.c_short
dll.RP1210_ClientDisconnect.argtypes = [ctypes.c_short]
dll.RP1210_ClientDisconnect.restype = ctypes.c_short
dll.RP1210_SendMessage.argtypes = [ctypes.c_short, ctypes.c_char_p, ctypes.c_short,
                                   ctypes.c_short, ctypes.c_short]
dll.RP1210_SendMessage.restype = ctypes.c_short
dll.RP1210_ReadMessage.argtypes = [ctypes.c_short, ctypes.c_char_p, ctypes.c_short, ctypes.c_short]
dll.RP1210_ReadMessage.restype = ctypes.c_short
dll.RP1210_SendCommand.argtypes = [ctypes.c_short, ctypes.c_short, ctypes.c_char_p, ctypes.c_short]
dll.RP1210_SendCommand.restype = ctypes.c_short
dll.RP1210_GetErrorMsg.argtypes = [ctypes.c_short, ctypes.c_char_p]
dll.RP1210_GetErrorMsg.restype = ctypes.c_short


def fail(what, code):
    text = ctypes.create_string_buffer(81)
    dll.RP1210_GetErrorMsg(code, text)
    sys.exit(f"{what}: {code} {text.value.decode(errors='replace')}")


client = dll.RP1210_ClientConnect(None, 1, b"J1939:Baud=Auto", 0, 0, 0)
if not 0 < client < 128:
    fail("connect", client)
print(f"connected J1939 as client {client}")
rc = dll.RP1210_SendCommand(3, client, b"", 0)  # Set_All_Filters_States_to_Pass
if rc:
    fail("filters", rc)
rc = dll.RP1210_SendCommand(215, client, bytes([1, 100]), 2)  # blocking reads wait at most 100 ms
if rc:
    fail("blocking timeout", rc)

buffer = ctypes.create_string_buffer(2048)


def read_pgn(pgn, limit_s=5.0):
    """Reads until a message of the PGN arrives: (source, destination, data)."""
    end = time.monotonic() + limit_s
    while time.monotonic() < end:
        n = dll.RP1210_ReadMessage(client, buffer, len(buffer), 1)  # blocking
        if n < 0:
            fail("read", -n)
        if n >= 10:
            m = buffer.raw[:n]
            if int.from_bytes(m[4:7], "little") == pgn:
                return m[8], m[9], m[10:]
    return None


for _ in range(3):
    got = read_pgn(61444)  # EEC1
    if got is None:
        sys.exit("no EEC1 from the engine")
    src, _, data = got
    print(f"EEC1 from {src}: engine speed {int.from_bytes(data[3:5], 'little') * 0.125:.1f} rpm")

# Request PGN 65260 (VIN) from everyone: PGN 59904, how/priority 6, source 0xF9, to 0xFF.
request = bytes([0x00, 0xEA, 0x00, 0x06, 0xF9, 0xFF]) + (65260).to_bytes(3, "little")
rc = dll.RP1210_SendMessage(client, request, len(request), 0, 0)
if rc:
    fail("send", rc)
got = read_pgn(65260)
if got is None:
    sys.exit("no VIN answer")
vin = got[2].split(b"*")[0].decode("ascii")
print(f"VIN from {got[0]}: {vin}")
rc = dll.RP1210_ClientDisconnect(client)
if rc:
    fail("disconnect", rc)
print("disconnected")
