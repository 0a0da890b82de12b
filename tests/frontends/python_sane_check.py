"""kelvra through python-sane (Debian's python3-sane), as a Python program sees it.

Run with Debian's own interpreter, which is where python3-sane lives:
    /usr/bin/python3 python_sane_check.py REFERENCE flatbed
    /usr/bin/python3 python_sane_check.py REFERENCE feeder DEVICE SOURCE PAGES
    /usr/bin/python3 python_sane_check.py REFERENCE options
REFERENCE is the page-reference program, which prints the simulator's pages.
Any failed check ends the program with a traceback and a non-zero status."""
import subprocess
import sys

import numpy
import sane
import _sane

reference_program = None

SOURCE_FLATBED = "Flatbed"
SOURCE_ADF = "Automatic Document Feeder"
SOURCE_DUPLEX = "ADF Duplex"
RESOLUTIONS = [75, 100, 125, 150, 175, 200, 300]
NO_DOCS = "Document feeder out of documents"


def reference(width, height, bytes_per_row, channels, page):
    return subprocess.run([reference_program, str(width), str(height), str(bytes_per_row), str(channels), str(page)],
                          check=True, stdout=subprocess.PIPE).stdout


def first_difference(got, expected):
    for offset, (a, b) in enumerate(zip(got, expected)):
        if a != b:
            return "byte %d is %d, expected %d" % (offset, a, b)
    return "%d bytes, expected %d" % (len(got), len(expected))


def check_image(what, image, size, mode, page):
    """A PIL image from snap/scan: its size, mode and every byte against the simulator's page."""
    assert image.size == size, "%s: size %s, expected %s" % (what, image.size, size)
    assert image.mode == mode, "%s: mode %s, expected %s" % (what, image.mode, mode)
    channels = 3 if mode == "RGB" else 1
    expected = reference(size[0], size[1], size[0] * channels, channels, page)
    got = image.tobytes()
    assert got == expected, "%s: differs from the simulator's page %d: %s" % (what, page, first_difference(got, expected))


def flatbed():
    devices = sane.get_devices()
    assert ("kelvra:fb-a4", "Kelvra", "FB-4200 Flatbed", "flatbed scanner") in devices, devices
    dev = sane.open("kelvra:fb-a4")
    try:
        # The whole A4 bed in colour at 75 dpi: the parameters known before
        # the start are those of the page that comes.
        params = dev.get_parameters()
        assert params == ("color", 1, (638, 877), 8, 1914), params
        check_image("colour page", dev.scan(), (638, 877), "RGB", 1)

        # Grey, 50 x 40 mm from (10, 20) at 150 dpi, read as a numpy array.
        dev.mode = "Gray"
        dev.resolution = 150
        dev.tl_x, dev.tl_y, dev.br_x, dev.br_y = 10, 20, 60, 60
        params = dev.get_parameters()
        assert params == ("gray", 1, (295, 236), 8, 295), params
        array = dev.arr_scan()
        assert array.shape == (236, 295, 1), array.shape
        assert array.dtype == numpy.uint8, array.dtype
        expected = numpy.frombuffer(reference(295, 236, 295, 1, 2), numpy.uint8).reshape(236, 295, 1)
        if not numpy.array_equal(array, expected):
            y, x, _ = numpy.argwhere(array != expected)[0]
            raise AssertionError("grey page: pixel (%d, %d) is %d, expected %d" % (x, y, array[y, x, 0], expected[y, x, 0]))

        # The same handle again: its scan-manager serves the next page.
        dev.mode = "Color"
        check_image("second colour page", dev.scan(), (295, 236), "RGB", 3)
    finally:
        dev.close()


def feeder(device, source, pages):
    dev = sane.open("kelvra:" + device)
    try:
        dev.source = source
        dev.mode = "Gray"
        dev.resolution = 75
        dev.br_x, dev.br_y = 60, 40
        params = dev.get_parameters()
        assert params == ("gray", 1, (177, 118), 8, 177), params

        # multi_scan re-raises every error except exactly the empty feeder's
        # message (and a page without data raises RuntimeError), so a list
        # that comes back means the batch ended on the empty feeder.
        images = list(dev.multi_scan())
        assert len(images) == pages, "%d images instead of %d" % (len(images), pages)
        for number, image in enumerate(images, start=1):
            check_image("%s sheet %d" % (device, number), image, (177, 118), "L", number)

        # What multi_scan met at its end, looked at directly: the start on the
        # empty feeder is accepted and the first read reports the empty feeder.
        dev.start()
        try:
            dev.snap(True)
        except _sane.error as error:
            assert str(error) == NO_DOCS, "the empty feeder gave %r" % str(error)
        else:
            raise AssertionError("a page was read from the empty feeder")
        dev.cancel()

        # The handle goes on: a flatbed page, the next page of its scan-manager.
        dev.source = SOURCE_FLATBED
        dev.mode = "Gray"
        dev.br_x, dev.br_y = 60, 40
        check_image("flatbed page after the batch", dev.scan(), (177, 118), "L", pages + 1)
    finally:
        dev.close()


def fixed(value):
    """SANE_Fixed word of a millimetre value that python-sane gave as a float (exact: 16.16)."""
    return round(value * 65536)


def pixels_to_fixed_mm(pixels, resolution):
    return int(pixels / resolution * 25.399999618530273 * 65536.0)


# (index, name, title, type, unit, size, cap, constraint); None stands for the
# things that depend on the device or its source: the source list and size,
# the area ranges, set-center-scan's cap.
DESCRIPTORS = [
    (0, "", "Number of options", _sane.TYPE_INT, _sane.UNIT_NONE, 4, 4, None),
    (1, "source", "Scan source", _sane.TYPE_STRING, _sane.UNIT_NONE, None, 5, None),
    (2, "mode", "Scan mode", _sane.TYPE_STRING, _sane.UNIT_NONE, 6, 5, ["Gray", "Color"]),
    (3, "resolution", "Scan resolution", _sane.TYPE_INT, _sane.UNIT_DPI, 4, 5, RESOLUTIONS),
    (4, "geometry", "Geometry", _sane.TYPE_GROUP, _sane.UNIT_NONE, 0, 0, None),
    (5, "tl-x", "Top-left x", _sane.TYPE_FIXED, _sane.UNIT_MM, 4, 5, None),
    (6, "tl-y", "Top-left y", _sane.TYPE_FIXED, _sane.UNIT_MM, 4, 5, None),
    (7, "br-x", "Bottom-right x", _sane.TYPE_FIXED, _sane.UNIT_MM, 4, 5, None),
    (8, "br-y", "Bottom-right y", _sane.TYPE_FIXED, _sane.UNIT_MM, 4, 5, None),
    (9, "set-center-scan", "Correct X coordinates to center of feeder", _sane.TYPE_BOOL, _sane.UNIT_NONE, 4, None,
     None),
]

# Sizes in pixels at 600 dpi: (min width, max width, min height, max height).
A4_BED = (64, 5100, 64, 7014)
LEGAL_FEEDER = (64, 5100, 64, 8400)


def area_ranges(sizes):
    min_w, max_w, min_h, max_h = sizes
    return [(0, pixels_to_fixed_mm(max_w - min_w, 600)), (0, pixels_to_fixed_mm(max_h - min_h, 600)),
            (pixels_to_fixed_mm(min_w, 600), pixels_to_fixed_mm(max_w, 600)),
            (pixels_to_fixed_mm(min_h, 600), pixels_to_fixed_mm(max_h, 600))]


def check_descriptors(what, dev, sources, sizes, center_cap):
    options = dev.get_options()
    assert len(options) == 10, "%s: %d options: %r" % (what, len(options), options)
    ranges = area_ranges(sizes)
    for option, expected in zip(options, DESCRIPTORS):
        index, name, title, kind, unit, size, cap, constraint = expected
        got_index, got_name, got_title, _, got_kind, got_unit, got_size, got_cap, got_constraint = option
        label = "%s: option %d" % (what, index)
        assert (got_index, got_name, got_title, got_kind, got_unit) == (index, name, title, kind, unit), \
            "%s: %r" % (label, option)
        if index == 1:
            size = max(len(s) for s in sources) + 1
            constraint = sources
        if index == 9:
            cap = center_cap
        assert got_size == size, "%s: size %d, expected %d" % (label, got_size, size)
        assert got_cap == cap, "%s: cap %d, expected %d" % (label, got_cap, cap)
        if 5 <= index <= 8:
            low, high, quant = got_constraint
            assert (fixed(low), fixed(high), quant) == ranges[index - 5] + (0.0,), \
                "%s: range %r, expected %r" % (label, got_constraint, ranges[index - 5])
        else:
            assert got_constraint == constraint, "%s: constraint %r, expected %r" % (label, got_constraint, constraint)
    return ranges


def refused(dev, index, value):
    try:
        dev.dev.set_option(index, value)
    except _sane.error as error:
        assert str(error) == "Invalid argument", "option %d = %r: %s" % (index, value, error)
        return
    raise AssertionError("option %d accepted %r" % (index, value))


def options():
    # The source list follows the device's units; the flatbed's ranges are
    # the worked A4 example: 0..213.19 mm, 0..294.22 mm, 2.71..215.9 mm, 2.71..296.93 mm.
    flatbed_ranges = [(0, 13971663), (0, 19281783), (177558, 14149222), (177558, 19459342)]
    assert area_ranges(A4_BED) == flatbed_ranges
    cases = [
        ("fb-a4", [SOURCE_FLATBED], None),
        ("mfp-adf", [SOURCE_FLATBED, SOURCE_ADF], (SOURCE_ADF, A4_BED)),
        ("duplex-legal", [SOURCE_FLATBED, SOURCE_ADF, SOURCE_DUPLEX], (SOURCE_DUPLEX, LEGAL_FEEDER)),
    ]
    for device, sources, feeder_case in cases:
        dev = sane.open("kelvra:" + device)
        try:
            check_descriptors(device, dev, sources, A4_BED, _sane.CAP_INACTIVE)
            # Values as the handle opens: colour, 75 dpi, the whole bed.
            assert (dev.source, dev.mode, dev.resolution) == (SOURCE_FLATBED, "Color", 75)
            assert dev.dev.get_option(0) == 10
            assert [fixed(v) for v in (dev.tl_x, dev.tl_y, dev.br_x, dev.br_y)] == [0, 0, 14149222, 19459342]

            # Mode and resolution: stored, adjusted to the nearest list word,
            # and seen in the parameters of the next page.
            dev.mode = "Gray"
            dev.resolution = 150
            assert (dev.mode, dev.resolution) == ("Gray", 150), (dev.mode, dev.resolution)
            assert dev.get_parameters() == ("gray", 1, (1275, 1754), 8, 1275), dev.get_parameters()
            assert dev.dev.set_option(3, 180) == _sane.INFO_INEXACT | _sane.INFO_RELOAD_PARAMS
            assert dev.resolution == 175
            assert dev.dev.set_option(3, 250) == _sane.INFO_INEXACT | _sane.INFO_RELOAD_PARAMS
            assert dev.resolution == 200
            assert dev.dev.set_option(2, "color") == _sane.INFO_INEXACT | _sane.INFO_RELOAD_PARAMS
            assert dev.mode == "Color"
            # Refusals leave the value as it was.
            for value in ("Mono", "Lineart", "Binary"):
                refused(dev, 2, value)
            assert dev.mode == "Color"
            refused(dev, 1, "ADF")
            assert dev.source == SOURCE_FLATBED
            # The count cannot be set.
            refused(dev, 0, 3)
            # An area value outside its range is clamped, and reported so.
            assert dev.dev.set_option(5, -5.0) == _sane.INFO_INEXACT | _sane.INFO_RELOAD_PARAMS
            assert dev.tl_x == 0.0

            if feeder_case:
                source, sizes = feeder_case
                dev.source = source
                assert dev.source == source
                ranges = check_descriptors(device + " " + source, dev, sources, sizes,
                                           _sane.CAP_SOFT_SELECT | _sane.CAP_SOFT_DETECT)
                # The area becomes the whole feeder area and centring is on.
                assert [fixed(v) for v in (dev.tl_x, dev.tl_y, dev.br_x, dev.br_y)] == \
                    [0, 0, ranges[2][1], ranges[3][1]]
                assert dev.set_center_scan == 1
                # Back to the flatbed: centring inactive again, the bed's area.
                assert dev.dev.set_option(1, "flatbed") == \
                    _sane.INFO_INEXACT | _sane.INFO_RELOAD_OPTIONS | _sane.INFO_RELOAD_PARAMS
                dev.source = SOURCE_FLATBED
                check_descriptors(device + " back to the flatbed", dev, sources, A4_BED, _sane.CAP_INACTIVE)
                assert dev.dev.get_option(9) == 0
                assert [fixed(v) for v in (dev.br_x, dev.br_y)] == [14149222, 19459342]
        finally:
            dev.close()


def main():
    global reference_program
    reference_program = sys.argv[1]
    version = sane.init()
    assert version[1] == 1, version
    try:
        if sys.argv[2] == "flatbed":
            flatbed()
        elif sys.argv[2] == "feeder":
            feeder(sys.argv[3], sys.argv[4], int(sys.argv[5]))
        elif sys.argv[2] == "options":
            options()
        else:
            raise SystemExit("unknown check " + sys.argv[2])
    finally:
        sane.exit()
    print("python-sane %s: passed" % sys.argv[2])


if __name__ == "__main__":
    main()
