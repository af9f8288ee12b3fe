#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: small valid inputs
from which the fuzzers start. Run it again after changing an input layout;
the files are kept in the tree so that a fuzz run needs no Python."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def with_crc(data):
    return data + struct.pack(">H", crc16(data))


SYN = b"\x16\x16"


def short_frame(control, dest):
    return SYN + with_crc(bytes([control, dest]))


def info_frame(nsend, nrec, dest, payload):
    header = with_crc(bytes([(nrec << 5) | (nsend << 1), dest]) + struct.pack(">H", len(payload)))
    return SYN + header + with_crc(payload)


def socket_frame(payload):
    return b"\xC5" + struct.pack(">H", len(payload)) + payload


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def receive_parser():
    # flag byte (bit 0: frame hunt, bit 1: USB, bit 2: oversized reads),
    # two bytes seeding the read sizes, then the stream.
    t = "receive_parser_fuzz"
    write(t, "handshake", b"\x00\x00\x01" + b"junk\rCTI 19200\r" + short_frame(0x73, 0x00))
    write(t, "handshake_usb", b"\x02\x00\x07" + b"\rCTI 9600\r" + short_frame(0x73, 0x00))
    write(t, "ua_rr_i", b"\x01\x00\x03" + short_frame(0x73, 0x00) + short_frame(0x01 | (1 << 5), 0x04)
          + info_frame(0, 1, 0x20, b"call 4711 ringing"))
    write(t, "noise_then_frames", b"\x01\x12\x34" + b"\x16\x00\x16\x16\xff" + info_frame(1, 0, 0x20, bytes(range(64)))
          + short_frame(0x11, 0x00))
    write(t, "large_i_frame", b"\x01\x02\x00" + info_frame(2, 2, 0x21, bytes(i & 0xFF for i in range(2038))))
    write(t, "oversized_reads", b"\x05\xff\xff" + b"".join(info_frame(n & 7, 0, 0x20, bytes([n]) * 700)
                                                         for n in range(8)))


def socket_framing():
    # flag byte (bit 0 keepalive, bit 1 built frames, bit 2 oversized reads,
    # bit 3 refusing library, bit 4 damage, bit 5 large built frames, bits 6
    # and 7 both set: send check),
    # two bytes seeding the read sizes, then the stream or the frame list.
    t = "socket_framing_fuzz"
    write(t, "one_frame", b"\x00\x00\x01" + socket_frame(b"ABC"))
    write(t, "split_and_partial", b"\x00\x00\x02" + socket_frame(b"\x01\x02\x03\x04\x05") + socket_frame(b"xy")
          + b"\xC5\x00")
    write(t, "keepalive", b"\x01\x00\x03" + socket_frame(b"\xF2\x01") + socket_frame(b"payload")
          + socket_frame(b"\xF2\x02"))
    write(t, "empty_frame_first", b"\x00\x00\x04" + socket_frame(b"") + socket_frame(b"\x7E"))
    write(t, "layer2_bytes", b"\x00\x00\x05" + short_frame(0x73, 0x00) + socket_frame(b"late"))
    write(t, "refused", b"\x08\x00\x06" + socket_frame(b"\x01odd") + socket_frame(b"\x02even"))
    # Built: (length high, length low, filler) per frame.
    write(t, "built_largest", b"\x22\x00\x07" + b"\xff\xff\x41" + b"\x00\x02\xf2" + b"\x10\x00\x33")
    write(t, "built_oversized_reads", b"\x27\x12\x34" + b"\x20\x00\xf2" + b"\x80\x01\x11" + b"\x00\x00\x00")
    write(t, "built_damaged", b"\x12\x00\x09" + b"\x00\x20\x55" * 4)
    write(t, "send_check", b"\xC0\x01\x02" + socket_frame(b"z"))


REG_V5 = "Windows Registry Editor Version 5.00\r\n\r\n"
KEY = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
PORTS = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage\\Ports]\r\n"


def registry_file():
    # Whole export files, as the registry editor writes them and as the unit
    # tests read them.
    t = "registry_file_fuzz"
    write(t, "every_kind.reg", (
        REG_V5 + "; exported for the PBX link\r\n" + KEY
        + '@="default text"\r\n"Link"="COM1"\r\n"Quoted"="say \\"hi\\" C:\\\\dir\\\\"\r\n"Empty"=""\r\n'
        '"ControlLines"=dword:00000001\r\n"Big"=dword:FFFFfffe\r\n"Blob"=hex:01,ab,FF\r\n"NoBytes"=hex:\r\n'
        '"Path"=hex(2):25,00,53,00,59,00,53,00,25,00,5c,00,6b,00,00,00\r\n'
        '"Names"=hex(7):61,00,62,00,00,00,63,00,00,00,00,00\r\n"Quad"=hex(b):01,02,03,04,05,06,07,08\r\n'
        '"Odd"=hex(0):07\r\n"Custom"=hex(ffff0001):10,20\r\n'
        '"Wrapped"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\\\r\n  14,15,16,17,\\\r\n'
        '  18,19\r\n"After"="still parsed"\r\n').encode())
    write(t, "utf16_tcp.reg", b"\xFF\xFE" + (
        REG_V5 + KEY + '"Link"="TCP/IP"\r\n"Standort"="B\u00fcro \u20ac"\r\n"TapiSvrIpAddr"="10.1.2.3"\r\n'
        '"TapiSvrIpPort"=dword:0000138a\r\n"Keepalive"=dword:00000001\r\n\r\n' + PORTS
        + '"COM1"="/dev/ttyUSB0"\r\n').encode("utf-16-le"))
    write(t, "utf8_bom.reg", ("\ufeffWindows Registry Editor Version 5.00\n" + KEY.replace("\r", "")
                              + '"Link"="COM3"\n"LinkSpeed"="19200"\n').encode())
    write(t, "regedit4.reg", ("REGEDIT4\r\n\r\n" + KEY + '"Path"=hex(2):25,53,25,00\r\n'
                              '"USBEnabled"=dword:00000001\r\n').encode())
    write(t, "case_and_nesting.reg", (
        "Windows Registry Editor Version 5.00\n"
        "[hkey_local_machine\\Software\\TOVIK\\tovik tk-anlage\\Ports]\n\"Com1\"=\"/dev/ttyS4\"\n"
        "[HKLM\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n\"LINK\"=\"COM1\"\n\"link\"=\"COM2\"\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n\"Link\"=\"USB\"\n").encode())
    write(t, "deletions.reg", (
        "Windows Registry Editor Version 5.00\n" + KEY.replace("\r", "")
        + '"Link"="COM1"\n"LinkSpeed"="19200"\n"LinkSpeed"=-\n' + PORTS.replace("\r", "")
        + '"COM1"="/dev/ttyUSB0"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"x"="y"\n'
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n\"ignored\"=\"value of a deleted key\"\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n" + KEY.replace("\r", "")
        + '"Link"="USB"\n').encode())
    write(t, "com_link.reg", (REG_V5 + KEY + '"Link"="COM1"\r\n"LinkSpeed"="19200"\r\n'
                              '"ControlLines"=dword:00000001\r\n"TapiSvrIpAddr"="10.1.2.3"\r\n' + PORTS
                              + '"COM1"="/dev/ttyUSB0"\r\n"USB"="1a2b:3c4d"\r\n').encode())
    write(t, "tcp_link.reg", (REG_V5 + KEY + '"Link"="TCP"\r\n"TapiSvrIpAddr"="192.168.100.200"\r\n'
                              '"TapiSvrIpPort"=dword:00011170\r\n"Keepalive"=hex:11,00,00,00\r\n').encode())
    write(t, "odd_values.reg", (REG_V5 + KEY + '"USBEnabled"=hex(4):01,00,00,00,00\r\n"Link"="COM12345678"\r\n'
                                '"LinkSpeed"=dword:00004b00\r\n"ControlLines"="1"\r\n'
                                '"TapiSvrIpAddr"=hex(2):31,00,2e,00,32,00,00,00\r\n').encode())
    write(t, "usb_link.reg", (REG_V5 + KEY + '"USBEnabled"=dword:00000001\r\n"LinkSpeed"="4800"\r\n' + PORTS
                              + '"USB"=" 1a2b:3c4d "\r\n').encode())
    write(t, "deep_key.reg", ("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE" + "\\k" * 400 + ']\n"v"="deep"\n'
                              "[-HKEY_LOCAL_MACHINE\\SOFTWARE" + "\\k" * 200 + "]\n").encode())
    write(t, "malformed.reg", (REG_V5 + KEY + '"Link"="COM1"\r\n"Blob"=hex:01,02,\\\r\n\r\n').encode())


def main():
    for target in ("receive_parser_fuzz", "socket_framing_fuzz", "registry_file_fuzz"):
        shutil.rmtree(os.path.join(CORPUS, target), ignore_errors=True)
    receive_parser()
    socket_framing()
    registry_file()


if __name__ == "__main__":
    main()
