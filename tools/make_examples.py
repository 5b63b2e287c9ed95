#!/usr/bin/env python3
"""Makes the demo files in examples/ for the simulator's demo controller.

  incucontrol_app.hex     controller firmware; application name at 0xC08000
  gasprobe.hex            "GasProbe" component firmware; name at 0x6FD0 (8-bit text)
  meridian.hex            "Meridian" component firmware; name at 0xEFD0 (16-bit units)
  incucontrol_tables.xml  parameter tables for the hardware "IncuControl"
  incucontrol_update.dat  gzip'd XML carrying the controller firmware (Base64,
                          element HexFile) and the same parameter tables

The output is deterministic, so remaking the files changes nothing.
Usage: tools/make_examples.py [OUTPUT_DIR]   (default: examples/ beside tools/)
"""

import base64
import gzip
import io
import os
import sys

# What the demo controller reports (its application name and hardware name).
CONTROLLER_APP = "IncuControlApp"
CONTROLLER_HW = "IncuControl"


def pseudo_code(seed, n):
    """Stand-in machine code: a fixed byte sequence, different per image."""
    out = bytearray()
    x = seed
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


def hex_record(rtype, address, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def intel_hex(segments):
    """segments: [(absolute address, bytes)] -> Intel HEX text, 16 bytes a record."""
    lines = []
    upper = None
    for start, data in segments:
        for off in range(0, len(data), 16):
            addr = start + off
            if addr >> 16 != upper:
                upper = addr >> 16
                lines.append(hex_record(4, 0, upper.to_bytes(2, "big")))
            chunk = data[off:off + 16]
            # A record must not cross a 64 KiB boundary.
            room = 0x10000 - (addr & 0xFFFF)
            if len(chunk) > room:
                raise ValueError("segment crosses a 64 KiB boundary at 0x%X" % addr)
            lines.append(hex_record(0, addr & 0xFFFF, chunk))
    lines.append(":00000001FF")
    return "\r\n".join(lines) + "\r\n"


def text8(name, size=32):
    return name.encode("ascii").ljust(size, b"\0")


def text16(name, units=16):
    # Each character in the second byte of a 16-bit unit, the first byte zero.
    return b"".join(b"\0" + c.encode("ascii") for c in name.ljust(units, "\0"))


def controller_hex():
    return intel_hex([
        (0xC00000, pseudo_code(1, 12 * 1024)),
        (0xC08000, text8(CONTROLLER_APP) + b"4.3.0\0".ljust(16, b"\0") + b"2024-05-21\0"),
    ])


def gasprobe_hex():
    return intel_hex([
        (0x0000, pseudo_code(2, 4 * 1024)),
        (0x6FD0, text8("GasProbe")),
    ])


def meridian_hex():
    return intel_hex([
        (0x0000, pseudo_code(3, 4 * 1024)),
        (0xEFD0, text16("Meridian")),
    ])


def tables_xml():
    pid_sets = []
    for channel, sets in ((1, ((1, 12, 350), (2, 8, 420))), (2, ((1, 20, 300),))):
        rows = []
        for value, a1, sampling in sets:
            params = [("a1", a1), ("b0-mul", 3), ("b0-div", 2), ("b1-mul", -1),
                      ("b1-div", 4), ("b2-mul", 1), ("b2-div", 8), ("sampling", sampling),
                      ("moving-av", 4), ("min-control", 0), ("max-control", 1000),
                      ("min-setpoint", 0), ("max-setpoint", 500)]
            rows.append('      <Parameterset value="%d">\n%s      </Parameterset>\n' % (
                value, "".join('        <param name="%s">%d</param>\n' % p for p in params)))
        pid_sets.append('    <Table_PID_Parameter channel="%d">\n%s    </Table_PID_Parameter>\n'
                        % (channel, "".join(rows)))
    entries = []
    for value, ident, comp, pset in ((1, 0x21, "GasProbe", 1), (2, 0x32, "Meridian", 2)):
        entries.append(
            '      <Entry value="%d">\n'
            '        <param name="parameterset">%d</param>\n'
            '        <param name="identifier">0x%02X</param>\n'
            '        <param name="component">%s</param>\n'
            '      </Entry>\n' % (value, pset, ident, comp))
    return ("  <ParameterTables>\n"
            "    <Name>%s</Name>\n"
            "    <Date>2024-05-21</Date>\n"
            "    <Version>18</Version>\n"
            "%s"
            '    <Table_Component_Parameterset channel="3">\n%s    </Table_Component_Parameterset>\n'
            "  </ParameterTables>\n" % (CONTROLLER_HW, "".join(pid_sets), "".join(entries)))


def tables_file():
    # The table file on its own: ParameterTables is the document element.
    body = "".join(line[2:] + "\n" for line in tables_xml().splitlines())
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + body


def dat_file(hex_text):
    b64 = base64.b64encode(hex_text.encode("ascii")).decode("ascii")
    wrapped = "\n".join(b64[i:i + 76] for i in range(0, len(b64), 76))
    # No XML declaration: HexFile and ParameterTables are direct children of
    # the document element, where both readers look for them.
    xml = ("<NxDownloadFile>\n  <HexFile>\n%s\n  </HexFile>\n%s</NxDownloadFile>\n"
           % (wrapped, tables_xml()))
    buf = io.BytesIO()
    # Fixed name and time stamp keep the file reproducible.
    with gzip.GzipFile(filename="", mode="wb", fileobj=buf, mtime=0) as gz:
        gz.write(xml.encode("ascii"))
    return buf.getvalue()


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "examples")
    os.makedirs(out, exist_ok=True)
    controller = controller_hex()
    files = {
        "incucontrol_app.hex": controller.encode("ascii"),
        "gasprobe.hex": gasprobe_hex().encode("ascii"),
        "meridian.hex": meridian_hex().encode("ascii"),
        "incucontrol_tables.xml": tables_file().encode("ascii"),
        "incucontrol_update.dat": dat_file(controller),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        print("%-24s %7d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
