"""Reads binary PNM files as scanimage writes them: `pnm.py size FILE` prints
"WIDTH HEIGHT", `pnm.py body FILE` writes the raster without its header."""
import sys


def parse(path):
    data = open(path, "rb").read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos].decode())
    return fields, data[pos + 1:]


if __name__ == "__main__":
    fields, body = parse(sys.argv[2])
    if sys.argv[1] == "size":
        print(fields[1], fields[2])
    else:
        sys.stdout.buffer.write(body)
