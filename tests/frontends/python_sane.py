"""kelvra as a Python program sees it through python-sane (Debian's python3-sane, so run by /usr/bin/python3):
flatbed pages as PIL images and a numpy array, every byte checked; multi_scan over both feeders to the empty
feeder; the ten options with their constraints per device and source, and values set, adjusted and refused.
    /usr/bin/python3 python_sane.py PAGE_REFERENCE_PROGRAM
Any failed check ends the program with a traceback and a non-zero status."""
import subprocess
import sys

import numpy
import sane
import _sane

FLATBED, ADF, DUPLEX = "Flatbed", "Automatic Document Feeder", "ADF Duplex"
ADJUSTED = _sane.INFO_INEXACT | _sane.INFO_RELOAD_PARAMS


def reference(width, height, channels, page, cut=(), side=None):
    """The simulator's page; cut: (left, top, document width, document height) in pixels, side: front or back."""
    arguments = [width, height, width * channels, channels, page, *cut] + ([side] if side else [])
    return subprocess.run([sys.argv[1]] + [str(a) for a in arguments], check=True, stdout=subprocess.PIPE).stdout


def check_image(what, image, size, mode, page, cut=(), side=None):
    assert (image.size, image.mode) == (size, mode), "%s: %s %s" % (what, image.size, image.mode)
    got, expected = image.tobytes(), reference(size[0], size[1], 3 if mode == "RGB" else 1, page, cut, side)
    differ = [i for i, (a, b) in enumerate(zip(got, expected)) if a != b][:1] or [min(len(got), len(expected))]
    assert got == expected, "%s: not the simulator's page %d from byte %d" % (what, page, differ[0])


def flatbed():
    assert ("kelvra:fb-a4", "Kelvra", "FB-4200 Flatbed", "flatbed scanner") in sane.get_devices()
    with sane.open("kelvra:fb-a4") as dev:
        # The parameters known before the start are those of the page that comes: A4 in colour at 75 dpi.
        assert dev.get_parameters() == ("color", 1, (638, 877), 8, 1914), dev.get_parameters()
        check_image("colour page", dev.scan(), (638, 877), "RGB", 1)
        dev.mode, dev.resolution = "Gray", 150
        dev.tl_x, dev.tl_y, dev.br_x, dev.br_y = 10, 20, 60, 60
        assert dev.get_parameters() == ("gray", 1, (295, 236), 8, 295), dev.get_parameters()
        area = (59, 118, 1275, 1754)  # from (10, 20) mm at 150 dpi, on the A4 document
        array = dev.arr_scan()
        expected = numpy.frombuffer(reference(295, 236, 1, 2, area), numpy.uint8).reshape(236, 295, 1)
        assert array.dtype == numpy.uint8 and numpy.array_equal(array, expected), "grey page as an array"
        dev.mode = "Color"  # the same handle again: its scan-manager serves the next page
        check_image("second colour page", dev.scan(), (295, 236), "RGB", 3, area)


def feeder(device, source, pages, document_height):
    # The feeder centres the 60 mm wide area on its 5100 pixel wide document: 230 pixels in at 75 dpi.
    area = (230, 0, 638, document_height)
    with sane.open("kelvra:" + device) as dev:
        dev.source, dev.mode, dev.resolution, dev.br_x, dev.br_y = source, "Gray", 75, 60, 40
        assert dev.get_parameters() == ("gray", 1, (177, 118), 8, 177), dev.get_parameters()
        # multi_scan re-raises every error but exactly the empty feeder's message, so a list that comes back
        # means the batch ended on the empty feeder.
        images = list(dev.multi_scan())
        assert len(images) == pages, "%s: %d images instead of %d" % (device, len(images), pages)
        for number, image in enumerate(images, start=1):
            side = None if source != DUPLEX else "front" if number % 2 else "back"
            check_image("%s sheet %d" % (device, number), image, (177, 118), "L", number, area, side)
        dev.start()  # accepted on the empty feeder; the first read says why
        try:
            dev.snap(True)
            raise AssertionError("a page was read from the empty feeder")
        except _sane.error as error:
            assert str(error) == "Document feeder out of documents", str(error)
        dev.cancel()
        dev.source, dev.mode, dev.br_x, dev.br_y = FLATBED, "Gray", 60, 40
        check_image("flatbed page after the batch", dev.scan(), (177, 118), "L", pages + 1, (0, 0, 638, 877))


def fixed(millimetres):
    return round(millimetres * 65536)  # python-sane gives SANE_Fixed words as floats, exactly


def area_ranges(sizes):
    """(low, high) of tl-x, tl-y, br-x, br-y as SANE_Fixed words, from sizes in pixels at 600 dpi."""
    w0, w1, h0, h1 = sizes
    mm = lambda pixels: int(pixels / 600 * 25.399999618530273 * 65536.0)  # noqa: E731
    return [(0, mm(w1 - w0)), (0, mm(h1 - h0)), (mm(w0), mm(w1)), (mm(h0), mm(h1))]


# (min width, max width, min height, max height) in pixels at 600 dpi; the bed's ranges are A4's worked example.
A4_BED, LEGAL_FEEDER = (64, 5100, 64, 7014), (64, 5100, 64, 8400)
assert area_ranges(A4_BED) == [(0, 13971663), (0, 19281783), (177558, 14149222), (177558, 19459342)]


def check_options(what, dev, sources, sizes, center_cap):
    t = _sane
    areas = [(5 + i, name, title, t.TYPE_FIXED, t.UNIT_MM, 4, 5, area_ranges(sizes)[i] + (0,)) for i, (name, title)
             in enumerate([("tl-x", "Top-left x"), ("tl-y", "Top-left y"), ("br-x", "Bottom-right x"),
                           ("br-y", "Bottom-right y")])]
    expected = [(0, "", "Number of options", t.TYPE_INT, t.UNIT_NONE, 4, 4, None),
                (1, "source", "Scan source", t.TYPE_STRING, t.UNIT_NONE, max(map(len, sources)) + 1, 5, sources),
                (2, "mode", "Scan mode", t.TYPE_STRING, t.UNIT_NONE, 6, 5, ["Gray", "Color"]),
                (3, "resolution", "Scan resolution", t.TYPE_INT, t.UNIT_DPI, 4, 5, [75, 100, 125, 150, 175, 200, 300]),
                (4, "geometry", "Geometry", t.TYPE_GROUP, t.UNIT_NONE, 0, 0, None)] + areas + [
                (9, "set-center-scan", "Correct X coordinates to center of feeder", t.TYPE_BOOL, t.UNIT_NONE, 4,
                 center_cap, None)]
    got = [(i, name, title, kind, unit, size, cap, (fixed(c[0]), fixed(c[1]), c[2]) if kind == t.TYPE_FIXED else c)
           for i, name, title, _, kind, unit, size, cap, c in dev.get_options()]
    for row in range(max(len(got), len(expected))):
        assert got[row:row + 1] == expected[row:row + 1], "%s: %r, expected %r" % (what, got[row:], expected[row:])


# (option, value, what set_option returns or the error it raises, the value read back afterwards)
SETTINGS = [(3, 180, ADJUSTED, 175), (3, 250, ADJUSTED, 200), (2, "color", ADJUSTED, "Color"),
            (2, "Mono", "Invalid argument", "Color"), (2, "Lineart", "Invalid argument", "Color"),
            (2, "Binary", "Invalid argument", "Color"), (1, "ADF", "Invalid argument", FLATBED),
            (0, 3, "Invalid argument", 10), (5, -5.0, ADJUSTED, 0.0)]


def options():
    bed = [0, 0, 14149222, 19459342]
    for device, sources, feeder_source in [("fb-a4", [FLATBED], None), ("mfp-adf", [FLATBED, ADF], ADF),
                                           ("duplex-legal", [FLATBED, ADF, DUPLEX], DUPLEX)]:
        with sane.open("kelvra:" + device) as dev:
            check_options(device, dev, sources, A4_BED, _sane.CAP_INACTIVE)
            assert (dev.source, dev.mode, dev.resolution) == (FLATBED, "Color", 75)
            assert [fixed(v) for v in (dev.tl_x, dev.tl_y, dev.br_x, dev.br_y)] == bed
            dev.mode, dev.resolution = "Gray", 150
            assert dev.get_parameters() == ("gray", 1, (1275, 1754), 8, 1275), dev.get_parameters()
            for option, value, result, after in SETTINGS:
                try:
                    got = dev.dev.set_option(option, value)
                except _sane.error as error:
                    got = str(error)
                got = (got, dev.dev.get_option(option))
                assert got == (result, after), "%s: option %d = %r gave %r" % (device, option, value, got)
            if feeder_source:
                # A feeder source: the whole feeder area, centring active and on; back to the bed, centring off.
                dev.source = feeder_source
                check_options(device + " feeder", dev, sources, LEGAL_FEEDER if device == "duplex-legal" else A4_BED,
                              _sane.CAP_SOFT_SELECT | _sane.CAP_SOFT_DETECT)
                high = [r[1] for r in area_ranges(LEGAL_FEEDER if device == "duplex-legal" else A4_BED)[2:]]
                assert [fixed(v) for v in (dev.tl_x, dev.tl_y, dev.br_x, dev.br_y)] == [0, 0] + high
                assert dev.set_center_scan == 1
                assert dev.dev.set_option(1, "flatbed") == ADJUSTED | _sane.INFO_RELOAD_OPTIONS
                check_options(device + " back to the bed", dev, sources, A4_BED, _sane.CAP_INACTIVE)
                assert dev.dev.get_option(9) == 0 and [fixed(v) for v in (dev.br_x, dev.br_y)] == bed[2:]


assert sane.init()[1] == 1
try:
    flatbed()
    feeder("mfp-adf", ADF, 3, 877)
    feeder("duplex-legal", DUPLEX, 6, 1050)
    options()
finally:
    sane.exit()
print("python-sane: passed")
