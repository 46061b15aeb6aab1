#!/usr/bin/env python3
"""An RP1210 client in plain Python (ctypes), as Python RP1210 clients call a driver: find the
implementation in the INI files, load its library, connect J1939, read engine speed, request
the VIN, disconnect.

    RP1210_INI=<folder of RP121032.ini> python3 python_client.py
"""
import configparser
import ctypes
import os
import sys
import time
from ctypes import c_char_p, c_long, c_short, c_void_p

ini_dir = os.environ.get("RP1210_INI", "/etc/rp1210")
if os.path.isfile(ini_dir):
    ini_dir = os.path.dirname(ini_dir)


def read_ini(name):
    ini = configparser.ConfigParser(strict=False, interpolation=None)
    if not ini.read(os.path.join(ini_dir, name)):
        sys.exit(f"cannot read {name} in {ini_dir}")
    return ini


name = read_ini("RP121032.ini")["RP1210Support"]["APIImplementations"].split(",")[0].strip()
vendor = read_ini(name + ".ini")
print(f"implementation {name}: {vendor['VendorInformation']['Name']}")
for dev in vendor["VendorInformation"]["Devices"].split(","):
    section = vendor[f"DeviceInformation{dev.strip()}"]
    print(f"  device {section['DeviceID']}: {section['DeviceName']}")

# The driver's file is named after the implementation: beside the INI files, else on the loader's path.
beside = os.path.join(ini_dir, name + ".so")
dll = ctypes.CDLL(beside if os.path.exists(beside) else name + ".so")
for function, args in {"ClientConnect": [c_void_p, c_short, c_char_p, c_long, c_long, c_short],
                       "ClientDisconnect": [c_short], "GetErrorMsg": [c_short, c_char_p],
                       "SendMessage": [c_short, c_char_p, c_short, c_short, c_short],
                       "ReadMessage": [c_short, c_char_p, c_short, c_short],
                       "SendCommand": [c_short, c_short, c_char_p, c_short]}.items():
    getattr(dll, "RP1210_" + function).argtypes = args
    getattr(dll, "RP1210_" + function).restype = c_short


def check(what, code):
    if code:
        text = ctypes.create_string_buffer(81)
        dll.RP1210_GetErrorMsg(code, text)
        sys.exit(f"{what}: {code} {text.value.decode(errors='replace')}")


client = dll.RP1210_ClientConnect(None, 1, b"J1939:Baud=Auto", 0, 0, 0)
check("connect", 0 if 0 < client < 128 else client)
print(f"connected J1939 as client {client}")
check("filters", dll.RP1210_SendCommand(3, client, b"", 0))  # Set_All_Filters_States_to_Pass
check("blocking timeout", dll.RP1210_SendCommand(215, client, bytes([1, 100]), 2))  # blocking reads wait 100 ms
buffer = ctypes.create_string_buffer(2048)


def read_pgn(pgn, limit_s=5.0):
    """Reads until a message of the PGN arrives: (source, destination, data)."""
    end = time.monotonic() + limit_s
    while time.monotonic() < end:
        n = dll.RP1210_ReadMessage(client, buffer, len(buffer), 1)  # blocking
        check("read", -n if n < 0 else 0)
        m = buffer.raw[:n]
        if n >= 10 and int.from_bytes(m[4:7], "little") == pgn:
            return m[8], m[9], m[10:]
    sys.exit(f"no PGN {pgn}")


for _ in range(3):
    src, _, data = read_pgn(61444)  # EEC1
    print(f"EEC1 from {src}: engine speed {int.from_bytes(data[3:5], 'little') * 0.125:.1f} rpm")
# Request PGN 65260 (VIN) from everyone: PGN 59904, how/priority 6, source 0xF9, to 0xFF.
request = bytes([0x00, 0xEA, 0x00, 0x06, 0xF9, 0xFF]) + (65260).to_bytes(3, "little")
check("send", dll.RP1210_SendMessage(client, request, len(request), 0, 0))
src, _, data = read_pgn(65260)
print(f"VIN from {src}: {data.split(b'*')[0].decode('ascii')}")
check("disconnect", dll.RP1210_ClientDisconnect(client))
print("disconnected")
