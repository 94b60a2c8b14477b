#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: fuzz/corpus/devid and fuzz/corpus/base64.

A devid seed is the port monitor's reported count (2 bytes, little-endian) followed by the
reply bytes. Run from anywhere; the files are rewritten in place."""
import base64
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
HEAD = b"MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;"


def record(code, fill=b"\x01"):
    r = bytearray(fill * 24)
    r[21] = code >> 8
    r[22] = code & 0xFF
    return bytes(r)


def b64(data):
    return base64.b64encode(data)


def devid_seeds():
    jam = record(0x0FA3)
    seeds = {
        "base64_jam": HEAD + b"FL1;VSTATUS:" + b64(jam),
        "base64_ready": HEAD + b"FL1;VSTATUS:" + b64(record(63400)),
        "raw_record": HEAD + b"VSTATUS:" + jam,
        "raw_record_with_nul": HEAD + b"VSTATUS:" + record(1000, b"\x00"),
        "flag_bad_length": HEAD + b"FL1;VSTATUS:" + b64(jam)[:30],
        "padded_payload": HEAD + b"FL1;VSTATUS:" + b64(record(2001)[:23]),
        "long_keys": b"MANUFACTURER:Kestravon;MODEL:ZR-QM4471 Pro;FL1;VSTATUS:" + b64(jam) + b";",
        "flag_after_payload": HEAD + b"VSTATUS:" + b64(jam) + b";FL1;",
        "other_maker": b"MFG:Other;MDL:ZR-QM4471;FL1;VSTATUS:" + b64(jam),
        "other_model": b"MFG:Kestravon;MDL:XX-1;FL1;VSTATUS:" + b64(jam),
        "no_vstatus": HEAD + b"DES:Kestravon ZR-QM4471;",
        "duplicate_keys": b"MFG:Other;MFG:Kestravon;MDL:A;MDL:ZR-QM4471;VSTATUS:" + jam,
        "blank_before_key": b" MFG:Kestravon; MDL:ZR-QM4471;VSTATUS:" + jam,
        "long_model": b"MFG:Kestravon" + b"K" * 300 + b";MDL:ZR-QM4471" + b"M" * 300 + b";VSTATUS:" + jam,
        "short_record": HEAD + b"VSTATUS:\x0f",
        "empty_payload": HEAD + b"FL1;VSTATUS:",
        "invalid_base64": HEAD + b"FL1;VSTATUS:" + b"!" * 32,
        "only_separators": b";;;:::;",
        "vstatus_at_end": (HEAD + b"X" * 1024)[: 1024 - 8 - 20] + b"VSTATUS:" + b"\x0f" * 20,
    }
    full = (HEAD + b"FL1;VSTATUS:" + b64(b"\xa5" * 800))[:1024]
    seeds["full_buffer_no_nul"] = full + b"A" * (1024 - len(full))
    out = {}
    for name, reply in seeds.items():
        out[name] = len(reply).to_bytes(2, "little") + reply
    # Counts that disagree with the bytes: none, shorter, longer, beyond the buffer.
    out["count_zero"] = b"\x00\x00" + seeds["base64_jam"]
    out["count_short"] = (20).to_bytes(2, "little") + seeds["base64_jam"]
    out["count_long"] = (900).to_bytes(2, "little") + seeds["raw_record"]
    out["count_over_buffer"] = b"\xff\xff" + seeds["raw_record"]
    out["count_one"] = b"\x01\x00" + seeds["raw_record"]
    return out


def base64_seeds():
    return {
        "empty": b"",
        "one_pad": b64(b"ab"),
        "two_pad": b64(b"a"),
        "record": b64(record(0x0FA3)),
        "binary": b64(bytes(range(256))),
        "pad_in_middle": b"QQ==QUJD",
        "pad_third_only": b"QU=D",
        "outside_alphabet": b"QU*D-_==",
        "short_group": b"QUJ",
        "nul_inside": b"QU\x00D",
    }


def write(folder, seeds):
    path = os.path.join(HERE, "corpus", folder)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for name, data in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("devid", devid_seeds())
    write("base64", base64_seeds())
