"""kelvra as Paperwork sees it through libinsane 1.0 and GObject introspection (Debian's gir1.2-libinsane-1.0 and
python3-gi, so run by /usr/bin/python3): the devices, each source with its options, values set and refused,
flatbed pages, feeder batches with every byte of every page, and the page of 0 bytes that ends every batch
(libinsane asks for one more page after the last sheet; its start is accepted and its first read says the feeder
is empty).
    /usr/bin/python3 libinsane.py PAGE_REFERENCE_PROGRAM
Any failed check ends the program with a traceback and a non-zero status."""
import subprocess
import sys

import gi

gi.require_version("Libinsane", "1.0")
from gi.repository import GLib, GObject, Libinsane  # noqa: E402


class Logger(GObject.GObject, Libinsane.Logger):
    """Keeps libinsane's own errors (a refused value is one) and drops the rest of its chatter."""

    def do_log(self, level, message):
        if level >= Libinsane.LogLevel.ERROR:
            print("libinsane:", message, file=sys.stderr)


def reference(width, height, channels, page, *cut):
    """The simulator's page, cut from its document as page-reference says (LEFT TOP DOCUMENT_WIDTH
    DOCUMENT_HEIGHT, and front or back for a side of a duplex sheet)."""
    return subprocess.run([sys.argv[1], str(width), str(height), str(width * channels), str(channels), str(page)] +
                          [str(c) for c in cut], check=True, stdout=subprocess.PIPE).stdout


def rgb(grey):
    """libinsane hands every page over as 24-bit RGB: a grey page has each byte three times."""
    return bytes(b for value in grey for b in (value, value, value))


def options(item):
    return {option.get_name(): option for option in item.get_options()}


def read_page(session):
    data = bytearray()
    while not session.end_of_page():
        data += session.read_bytes(1 << 20).get_data()
    return bytes(data)


def check_page(what, data, expected, page):
    differ = [i for i, (a, b) in enumerate(zip(data, expected)) if a != b][:1] or [min(len(data), len(expected))]
    assert data == expected, "%s: %d bytes, not the simulator's page %d from byte %d" % (
        what, len(data), page, differ[0])


def scan(item, settings):
    """One session of ITEM with the options SETTINGS: every page's parameters and bytes."""
    values = options(item)
    for name, value in settings:
        values[name].set_value(value)
    session, pages = item.scan_start(), []
    while not session.end_of_feed():
        parameters = session.get_scan_parameters()
        pages.append(((parameters.get_format(), parameters.get_width(), parameters.get_height(),
                       parameters.get_image_size()), read_page(session)))
    session.cancel()
    return pages


SOURCES = [("flatbed", Libinsane.ItemType.FLATBED, "Flatbed"),
           ("feeder", Libinsane.ItemType.ADF, "Automatic Document Feeder"),
           ("feeder Duplex", Libinsane.ItemType.ADF, "ADF Duplex")]
# (name, model, type, how many of SOURCES it has)
DEVICES = [("fb-a4", "FB-4200 Flatbed", "flatbed scanner", 1),
           ("mfp-adf", "MF-5300 ADF", "multi-function peripheral", 2),
           ("duplex-legal", "DX-7700 Duplex", "sheetfed scanner", 3)]
MM = 25.399999618530273


def devices(api):
    got = [(d.get_dev_id(), d.get_dev_vendor(), d.get_dev_model(), d.get_dev_type())
           for d in api.list_devices(Libinsane.DeviceLocations.ANY)]
    assert got == [("sane:kelvra:" + name, "Kelvra", model, kind) for name, model, kind, _ in DEVICES], got
    for name, _, _, count in DEVICES:
        device = api.get_device("sane:kelvra:" + name)
        items = device.get_children()
        assert [(i.get_name(), i.get_item_type()) for i in items] == [s[:2] for s in SOURCES[:count]], name
        for item, (_, _, source) in zip(items, SOURCES):
            values = options(item)
            assert sorted(values) == ["br-x", "br-y", "mode", "resolution", "set-center-scan", "source", "tl-x",
                                      "tl-y"], sorted(values)
            assert values["source"].get_value() == source
            assert values["source"].get_constraint() == [s[2] for s in SOURCES[:count]]
            assert values["mode"].get_constraint() == ["Gray", "Color"]
            assert values["resolution"].get_constraint() == [75, 100, 125, 150, 175, 200, 300]
            # 5100 x 7014 pixels at 600 dpi; the duplex device's feeder is legal size, 8400 pixels high.
            height = 8400 if name == "duplex-legal" and source != "Flatbed" else 7014
            low, high, _ = values["br-y"].get_constraint()
            assert (round(low, 3), round(high, 3)) == (round(64 / 600 * MM, 3), round(height / 600 * MM, 3))
            # Centring in the feeder is offered on the feeders only; libinsane refuses to read it elsewhere.
            inactive = values["set-center-scan"].get_capabilities() & Libinsane.Capability.INACTIVE
            assert bool(inactive) == (source == "Flatbed"), (name, source)
            if not inactive:
                assert values["set-center-scan"].get_value() is True
        device.close()


def settings(api):
    device = api.get_device("sane:kelvra:fb-a4")
    values = options(device.get_children()[0])
    adjusted = Libinsane.SetFlag.INEXACT | Libinsane.SetFlag.MUST_RELOAD_PARAMS
    for name, value, flags, after in [("resolution", 180, adjusted, 175), ("resolution", 250, adjusted, 200),
                                      ("mode", "Lineart", "Invalid value", "Color"), ("tl-x", -5.0, adjusted, 0.0)]:
        try:
            got = values[name].set_value(value)
        except GLib.Error as error:
            got = flags if "Invalid value" in error.message else error.message
        assert (got, values[name].get_value()) == (flags, after), (name, value, got)
    device.close()


def pages(api):
    area = [("mode", "Gray"), ("resolution", 75), ("br-x", 60.0), ("br-y", 40.0)]
    grey = (Libinsane.ImgFormat.RAW_RGB_24, 177, 118, 177 * 118 * 3)
    device = api.get_device("sane:kelvra:fb-a4")
    flatbed = device.get_children()[0]
    # A flatbed session is one page: the A4 bed in colour, then a grey area from the same handle.
    [(parameters, data)] = scan(flatbed, [("mode", "Color"), ("resolution", 75)])
    assert parameters == (Libinsane.ImgFormat.RAW_RGB_24, 638, 877, 638 * 877 * 3), parameters
    check_page("colour flatbed page", data, reference(638, 877, 3, 1), 1)
    # The area from the bed's top-left corner, cut from the A4 document of 638 x 877 pixels at 75 dpi.
    bed = (0, 0, 638, 877)
    [(parameters, data)] = scan(flatbed, area)
    assert parameters == grey, parameters
    check_page("grey flatbed page", data, rgb(reference(177, 118, 1, 2, *bed)), 2)
    device.close()
    # The feeders centre the 60 mm wide area: 230 pixels from the left of the A4 and legal documents.
    for name, item, sheets, cut in [("mfp-adf", 1, 3, (230, 0, 638, 877)), ("duplex-legal", 2, 6, (230, 0, 638, 1050))]:
        device = api.get_device("sane:kelvra:" + name)
        batch = scan(device.get_children()[item], area)
        assert len(batch) == sheets + 1, "%s: %d pages" % (name, len(batch))
        for number, (parameters, data) in enumerate(batch[:sheets], start=1):
            side = () if sheets == 3 else ("front" if number % 2 else "back",)
            assert parameters == grey, parameters
            check_page("%s page %d" % (name, number), data, rgb(reference(177, 118, 1, number, *cut, *side)), number)
        assert batch[-1] == (grey, b""), "%s: the batch ends with %r" % (name, batch[-1][0])
        # The empty feeder stays empty; the flatbed of the same handle goes on.
        [(parameters, data)] = scan(device.get_children()[0], area)
        check_page("%s flatbed page after the batch" % name, data, rgb(reference(177, 118, 1, sheets + 1, *bed)),
                   sheets + 1)
        device.close()


Libinsane.register_logger(Logger())
api = Libinsane.Api.new_safebet()
try:
    devices(api)
    settings(api)
    pages(api)
finally:
    api.cleanup()
print("libinsane: passed")
