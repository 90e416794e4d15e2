#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small, meaningful input in the format its target reads (see
the comment at the top of fuzz/<target>_fuzz.cpp). Run it again after
changing a format; the seeds are kept in the repository.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
SAMPLE_CONFIG = os.path.join(HERE, "..", "etc", "korvane.config.xml")


def write(target, name, data):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


def reset(target):
    shutil.rmtree(os.path.join(CORPUS, target), ignore_errors=True)


# ---------------------------------------------------------------- frames

def frame(token, channel, payload):
    return b"\x5a" + struct.pack("<IHI", token, channel, len(payload)) + payload + b"\xa5"


def control(code, data=b""):
    return b"\xff\xfe\xff" + struct.pack("<H", code) + data


def chunked(plan, stream):
    """Byte 0: the number of chunk bytes; then the chunk bytes; then the stream."""
    assert len(plan) < 32
    return bytes([len(plan)]) + bytes(plan) + stream


def request(code, argument=b""):
    if isinstance(argument, str):
        argument = argument.encode()
    return struct.pack("<H", code) + argument


ROOT = "<KorvaneConfiguration>{}</KorvaneConfiguration>"
SET_PORT = ROOT.format("<Port>14100</Port>")
SET_DATAGRAMS = ROOT.format(
    "<Datagrams>"
    '<ComingText On="true">IN {EPC}{TAB}{AntennaPort}{CR}{LF}</ComingText>'
    '<GoingText On="true">OUT {EPC}{CR}{LF}</GoingText>'
    '<StartText On="true">start{CR}{LF}</StartText>'
    '<HeartbeatText On="true">beat{CR}{LF}</HeartbeatText>'
    '<StopText On="true">stop{CR}{LF}</StopText>'
    "</Datagrams>")


def frame_seeds():
    reset("frame")
    hello = frame(0xFFFFFFFF, 5, control(0))
    hello_ack = frame(0xFFFFFFFF, 5, control(1))
    get_port = frame(1, 5, request(1))
    set_datagrams = frame(7, 5, request(5, SET_DATAGRAMS))
    write("frame", "hello-whole", chunked([], hello))
    write("frame", "hello-ack-bytewise", chunked([1], hello_ack))
    write("frame", "get-port-request", chunked([], get_port))
    write("frame", "control-data", chunked([3], frame(9, 5, control(2, b"data"))))
    write("frame", "unassigned-control-code", chunked([], frame(9, 5, control(7))))
    write("frame", "short-marker-is-data", chunked([], frame(9, 5, b"\xff\xfe\xff\x00")))
    write("frame", "empty-payload", chunked([2], frame(3, 5, b"")))
    write("frame", "two-frames-one-chunk", chunked([], get_port + frame(2, 5, request(0))))
    write("frame", "noise-between-frames",
          chunked([5, 11], b"xx\x00" + get_port + b"\xa5\x5a\x5a" + hello))
    write("frame", "wrong-end-marker", chunked([], get_port[:-1] + b"\x5a" + get_port))
    over = b"\x5a" + struct.pack("<IHI", 1, 5, 1024 * 1024 + 1)
    write("frame", "length-over-limit", chunked([], over + get_port))
    limit = b"\x5a" + struct.pack("<IHI", 1, 5, 1024 * 1024)
    write("frame", "length-at-limit-cut", chunked([0x7f], limit + b"\x00" * 64))
    write("frame", "reset-mid-frame", chunked([6, 0x85, 0x7f], get_port + get_port))
    write("frame", "set-datagrams-in-pieces", chunked([3, 7, 0, 64], set_datagrams))


# ---------------------------------------------------------------- commands

def requests(start, *payloads):
    """Byte 0: bit 0 writes the configuration, bit 1 applies it; then each
    request as a 16-bit little-endian length and its bytes."""
    data = bytes([start])
    for payload in payloads:
        data += struct.pack("<H", len(payload)) + payload
    return data


def commands_seeds():
    reset("commands")
    names = {0: "get-version", 1: "get-port", 3: "get-magic-words", 4: "get-datagram-result"}
    for code, name in names.items():
        write("commands", name, requests(3, request(code)))
    write("commands", "get-port-nothing-applied", requests(1, request(1)))
    write("commands", "unknown-command", requests(3, request(0x0100), request(0xFFFF)))
    write("commands", "too-short", requests(3, b"", b"\x01", request(2), request(5)))
    write("commands", "set-port-then-get",
          requests(3, request(2, SET_PORT), request(1)))
    write("commands", "set-port-no-file", requests(0, request(2, SET_PORT), request(1)))
    write("commands", "set-port-escaped",
          requests(3, request(2, ROOT.format("<PORT>&lt;14008&amp;x&gt;</PORT>")), request(1)))
    write("commands", "set-port-element-child",
          requests(3, request(2, ROOT.format("<Port><x>14009</x></Port>"))))
    write("commands", "set-port-bad-root", requests(3, request(2, "<C><Port>1</Port></C>")))
    write("commands", "set-datagrams-then-get",
          requests(3, request(5, SET_DATAGRAMS), request(4)))
    write("commands", "set-datagrams-no-file", requests(0, request(5, SET_DATAGRAMS), request(4)))
    write("commands", "set-datagrams-all-words", requests(3, request(5, ROOT.format(
        "<Datagrams>"
        '<ComingText On="true">{MemoryBank=3,Pointer=0,Length=8,Password=0x1,Error=E:}'
        "{Coding=2,EPC,PC,XPC_W1,XPC_W2}{RSSI}{RSSIDBM}{AntennaProperty}"
        "{Timestamp}{TimestampMS}{NUL}{STX}{Hex=0x0D0A}</ComingText>"
        '<GoingText On="TRUE"><![CDATA[<{EPC}>]]></GoingText>'
        "</Datagrams>")), request(4)))
    write("commands", "everything", requests(
        3, request(0), request(1), request(2, SET_PORT), request(3), request(4),
        request(5, SET_DATAGRAMS), request(4), request(1)))


# ---------------------------------------------------------------- templates

def tag_record(options=0, event=0xFF, antenna=0x21, rssi=200, rssi_dbm=-61, pc=0x3000,
               xpc1=0x8001, xpc2=0x0002, epc=(0x3034, 0x1234, 0x5678, 0x9ABC, 0xDEF0, 0x0001),
               read_result=0, data=(0x1111, 0x2222, 0x3333, 0x4444), seen_at=1700000000,
               timestamp_ms=1700000000123):
    record = struct.pack("<BBBBhHHHBBBIQ", options, event, antenna, rssi, rssi_dbm, pc, xpc1,
                         xpc2, len(epc), read_result, len(data), seen_at, timestamp_ms)
    words = list(epc) + [0] * (31 - len(epc))
    return record + struct.pack("<31H", *words) + struct.pack("<%dH" % len(data), *data)


def templates(*texts, record=None):
    """Five NUL-separated templates (coming, going, start, heartbeat, stop),
    then the tag record. Option bits: 1 skip the first byte, 2 the last, 4
    parse again and render once more, 8 batch the tag datagrams."""
    texts = list(texts) + [""] * (5 - len(texts))
    data = b"\x00".join(t.encode() for t in texts) + b"\x00"
    return data + (record if record is not None else b"")


ALL_WORDS = ("{EPC}{Coding=0,PC}{MemoryBank=3,Pointer=0,Length=8}{Password=0}{Error=Err }"
             "{AntennaPort}{AntennaProperty}{RSSI}{RSSIDBM}{Timestamp}{TimestampMS}"
             "{PC}{XPC_W1}{XPC_W2}{LF}{CR}{TAB}{NUL}{STX}{Hex=0D0A}")


def template_seeds():
    reset("template")
    write("template", "plain-coming", "{EPC}{CR}{LF}")
    write("template", "sample-config", templates(
        "IN  {EPC}{TAB}antenna {AntennaPort}{TAB}{RSSIDBM} dBm{TAB}PC {PC}{TAB}"
        "{Timestamp} ({TimestampMS} ms){CR}{LF}",
        "OUT {EPC}{TAB}{Timestamp}{CR}{LF}",
        "# reading started{CR}{LF}", "# heartbeat{CR}{LF}", "# reading stopped{CR}{LF}",
        record=tag_record()))
    write("template", "every-word", templates(ALL_WORDS, ALL_WORDS, record=tag_record()))
    codings = "".join("{Coding=%d,EPC}{Coding=%d,PC}|" % (c, c) for c in range(5))
    write("template", "every-coding", templates(codings, codings, record=tag_record()))
    write("template", "hex-coding-values",
          templates("{Coding=0x2,EPC}{Coding=04,XPC_W1}{Coding=5,EPC}", record=tag_record()))
    write("template", "memory-read", templates(
        "{MemoryBank=3,Pointer=1,Length=7,Coding=1}", "{MemoryBank=3,Pointer=1,Length=7}",
        record=tag_record(options=3, data=(0xA1B2, 0xC3D4, 0xE5F6, 0x0708))))
    write("template", "memory-read-to-end", templates(
        "{MemoryBank=2,Pointer=0x0,Length=0xFFFFFFFF,Coding=2}",
        record=tag_record(data=tuple(range(0x4100, 0x4120)))))
    write("template", "memory-read-error", templates(
        "{Error=Failed: ,MemoryBank=1,Pointer=0,Length=4}{MemoryBank=1,Pointer=0,Length=4}",
        record=tag_record(read_result=0x0B, data=())))
    write("template", "conflicting-read-settings", templates(
        "{MemoryBank=3,Pointer=0,Length=8}", "{MemoryBank=2,Pointer=0,Length=8}",
        record=tag_record()))
    write("template", "rejected-blocks", templates(
        "a{b{EPC}c{EPC,Nope}{}{ }{,}{EPC{Hex=0}}{EPC", "{Hex=zz}{LF=1}{Length=0}}",
        record=tag_record()))
    write("template", "binary-control-bytes", templates(
        "{Coding=0,EPC,CR,LF}", "{Coding=0,EPC,CR,LF}", record=tag_record(options=4)))
    write("template", "batched-and-reparsed", templates(
        "{EPC}{LF}", "{Coding=3,EPC}{LF}", "start{LF}", record=tag_record(options=12)))
    write("template", "empty-epc-no-time", templates(
        "{EPC}{Timestamp}{Coding=3,EPC}{Coding=4,EPC}",
        record=tag_record(epc=(), seen_at=0xFFFFFFFF)))
    write("template", "long-epc", templates(
        "{EPC}{Coding=2,EPC}{Coding=3,EPC}{Coding=4,EPC}",
        record=tag_record(epc=tuple(range(0x1000, 0x101F)))))
    # A word in text coding rendered twice with an empty text as the first
    # bytes of the first datagram: nothing to append to an unallocated buffer.
    write("template", "empty-text-twice-first", "{EPC}{EPC}")
    write("template", "reports-only", templates("", "", "start{LF}", "beat{Hex=07}", "stop{NUL}"))


# ---------------------------------------------------------------- configuration

def config(body, root="KorvaneConfiguration"):
    return '<?xml version="1.0" encoding="utf-8"?>\n<{0}>{1}</{0}>\n'.format(root, body)


def config_seeds():
    reset("config")
    with open(SAMPLE_CONFIG, "rb") as sample:
        write("config", "sample-config", sample.read())
    write("config", "empty-file", b"")
    write("config", "empty-root", config(""))
    write("config", "other-root", config("<Port>14008</Port>", root="Other"))
    write("config", "lower-case-root", config("<port>14008</port>", root="korvaneconfiguration"))
    write("config", "bad-port", config("<Port>abc</Port><KeyboardEmulation>TRUE</KeyboardEmulation>"))
    write("config", "port-zero", config("<Port>0</Port>"))
    write("config", "port-out-of-range", config("<Port>70000</Port>"))
    write("config", "templates-off", config(
        '<Datagrams><ComingText On="false">{EPC}</ComingText>'
        '<GoingText>{EPC}</GoingText><StartText On="true"></StartText></Datagrams>'))
    write("config", "template-child-kinds", config(
        '<Datagrams><ComingText On="true"><!--{EPC}-->{CR}</ComingText>'
        '<GoingText On="true"><![CDATA[<{EPC}>]]></GoingText>'
        '<StopText On="true"><b>x</b>stop</StopText></Datagrams>'))
    write("config", "memory-read", config(
        '<Datagrams><ComingText On="true">{MemoryBank=3,Pointer=0,Length=8}{CR}</ComingText>'
        '<GoingText On="true">{MemoryBank=3,Pointer=0,Length=8}{Coding=4,EPC}</GoingText>'
        "</Datagrams><Port>14009</Port><KeyboardEmulation>true</KeyboardEmulation>"))
    write("config", "broken-markup", "<KorvaneConfiguration><Datagrams><ComingText On=\"true\">"
          "{EPC}<Port>14010</KorvaneConfiguration")
    write("config", "entities", '<?xml version="1.0"?>\n<!DOCTYPE KorvaneConfiguration '
          '[<!ENTITY w "{EPC}{CR}{LF}">]>\n' + config(
              '<Datagrams><ComingText On="true">&w;</ComingText></Datagrams>'
              "<Port>&#49;4011</Port>").split("\n", 1)[1])


if __name__ == "__main__":
    frame_seeds()
    commands_seeds()
    template_seeds()
    config_seeds()
