#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: realistic replies of a
scan-manager, the header faults the backend must refuse, and configuration
files with every edge case of the line rules. Run it after changing a seed;
the files it writes are kept in the repository."""
import shutil
import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"

REQUEST, REPLY = 0, 1
NONE, XML, IMAGE = 0, 1, 2
DISCOVERY, OPEN_DEVICE, CLOSE_DEVICE, SCAN_PARAMETER, START_SCAN, END_SCAN, READ_IMAGE = range(7)
MAX_PAYLOAD = 256 << 20


def header(command, direction, kind, length):
    return struct.pack("<IIIQ", command, direction, kind, length)


def frame(command, kind, payload, direction=REPLY, length=None):
    if isinstance(payload, str):
        payload = payload.encode("utf-8")
    return header(command, direction, kind, len(payload) if length is None else length) + payload


def xml(body, declaration='<?xml version="1.0" encoding="UTF-8"?>\n'):
    return declaration + body + "\n"


def xml_faults(command, good):
    """The header faults every XML reply must refuse, around one good payload."""
    return {
        "wrong_command": frame((command + 1) % 7, XML, good),
        "request_direction": frame(command, XML, good, direction=REQUEST),
        "image_kind": frame(command, IMAGE, good),
        "no_payload_kind": frame(command, NONE, good),
        "length_zero": frame(command, XML, b"", length=0) + good.encode(),
        "short_header": header(command, REPLY, XML, len(good))[:13],
        "length_beyond_end": frame(command, XML, good, length=len(good) + 4096),
        "length_over_limit": frame(command, XML, good, length=MAX_PAYLOAD + 1),
        "length_huge": frame(command, XML, good, length=0xFFFFFFFFFFFFFFFF),
        "truncated_document": frame(command, XML, good[: len(good) // 2]),
        "shorter_than_sent": frame(command, XML, good, length=len(good) - 3),
        "not_xml": frame(command, XML, "this is not a document at all\x01\x02"),
        "empty_document": frame(command, XML, "   "),
        "two_frames": frame(command, XML, good) + frame(command, XML, good),
    }


DEVICE = ('<device name="kelvra:net:office-mfp" vendor="Kelvra" model="KX-4200" type="flatbed scanner" '
          'host_name="office-mfp" vendor_id="0x2a8f" product_id="0x1042" usb_serial_id="" '
          'deviceName="KX-4200 Office"/>')
DEVICES = xml("<devices>" + DEVICE +
              '<device name="kelvra:usb:0x2a8f:0x1051:SN0042" vendor="Kelvra" model="KX-90 ADF" '
              'type="sheetfed scanner" host_name="" vendor_id="0x2a8f" product_id="0x1051" '
              'usb_serial_id="SN0042" deviceName="KX-90"/>'
              '<device name="kelvra:net:lab" vendor="Kelvra" model="KX-4200" type="flatbed scanner" '
              'host_name="lab.example.lan" vendor_id="0x2a8f" product_id="0x1042" usb_serial_id="" '
              'deviceName="Lab scanner"/></devices>')


def devices_seeds():
    seeds = {
        "three_devices": DEVICES,
        "no_devices": xml("<devices/>"),
        "no_devices_no_declaration": "<devices></devices>",
        "missing_attributes": xml('<devices><device name="only-a-name"/><device/></devices>'),
        "references": xml('<devices><device name="a&amp;b&#x41;&lt;&#233;" vendor="&quot;K&apos;"/></devices>'),
        "utf8_names": xml('<devices><device name="scanner-\u00e9\u4e2d\U0001F5A8" model="\u00c4"/></devices>'),
        "latin1": '<?xml version="1.0" encoding="ISO-8859-1"?><devices><device name="caf\xe9"/></devices>'
                  .encode("latin-1"),
        "utf16": '<?xml version="1.0" encoding="UTF-16"?><devices><device name="wide"/></devices>'
                 .encode("utf-16"),
        "other_root": xml('<device_capability basic_resolution="600"/>'),
        "nested_devices": xml('<devices><group><device name="deep"/></group><device name="top">'
                              '<device name="inner"/></device></devices>'),
        "comment_and_pi": xml('<!-- list --><?devices not-an-element?><devices>\n  <!-- c -->\n  ' + DEVICE +
                              "\n  text<![CDATA[<device/>]]></devices>"),
        "internal_entity": '<?xml version="1.0"?><!DOCTYPE devices [<!ENTITY h "office-mfp">]>'
                           '<devices><device name="&h;" host_name="&h;&h;"/></devices>',
        "entity_expansion": '<?xml version="1.0"?><!DOCTYPE d [<!ENTITY a "aaaaaaaaaaaaaaaa">'
                            '<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;"><!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;">'
                            '<!ENTITY e "&c;&c;&c;&c;&c;&c;&c;&c;">]><devices><device name="&e;"/></devices>',
        "external_entity": '<?xml version="1.0"?><!DOCTYPE d [<!ENTITY x SYSTEM "file:///etc/passwd">]>'
                           '<devices><device name="&x;"/></devices>',
        "namespaced": xml('<k:devices xmlns:k="urn:k"><k:device name="ns"/></k:devices>'),
        "case_differs": xml('<Devices><Device name="upper"/></Devices>'),
    }
    out = {name: frame(DISCOVERY, XML, body) for name, body in seeds.items()}
    out.update(xml_faults(DISCOVERY, DEVICES))
    return out


CAPABILITY = xml('<device_capability basic_resolution="600" flatbed_min_width="32" flatbed_max_width="5100" '
                 'flatbed_min_height="32" flatbed_max_height="7020" adf_min_Width="600" adf_max_Width="5100" '
                 'adf_min_height="900" adf_max_height="8400" flatbed_original_alignment="0" '
                 'adf_original_alignment="1" black_text_support="0">'
                 '<scanner_units name="flatbed"/><scanner_units name="adf"/>'
                 '<scanner_units name="adf_duplex"/></device_capability>')


def capability_seeds():
    numbers = ["0", "-1", "4294967295", "4294967296", "-2147483649", "99999999999999999999", " 42abc",
               "+7", "0x10", "", "abc", "\t\n 12", "--3", "007"]
    attributes = " ".join(f'basic_resolution="{numbers[i % len(numbers)]}"'.replace("basic_resolution", name)
                          for i, name in enumerate(["basic_resolution", "flatbed_min_width", "flatbed_max_width",
                                                    "flatbed_min_height", "flatbed_max_height", "adf_min_Width",
                                                    "adf_max_Width", "adf_min_height", "adf_max_height",
                                                    "flatbed_original_alignment", "adf_original_alignment",
                                                    "black_text_support"]))
    seeds = {
        "flatbed_and_feeders": CAPABILITY,
        "flatbed_only": xml('<device_capability basic_resolution="300" flatbed_min_width="16" '
                            'flatbed_max_width="2550" flatbed_min_height="16" flatbed_max_height="3508">'
                            '<scanner_units name="flatbed"/></device_capability>'),
        "units_in_odd_order": xml('<device_capability><scanner_units name="adf"/><scanner_units name="flatbed"/>'
                                  '<scanner_units name="adf_duplex"/><scanner_units name="adf"/>'
                                  '</device_capability>'),
        "unknown_units": xml('<device_capability><scanner_units name="ADF"/><scanner_units name="Flatbed"/>'
                             '<scanner_units/><scanner_units name="adf "/><scanner_unit name="adf"/>'
                             '</device_capability>'),
        "lower_case_w": xml('<device_capability adf_min_width="600" adf_max_width="5100"/>'),
        "odd_numbers": xml(f"<device_capability {attributes}/>"),
        "no_units": xml('<device_capability basic_resolution="600"/>'),
        "other_root": xml('<devices><device name="x"/></devices>'),
        "nested_units": xml('<device_capability><units><scanner_units name="adf"/></units>'
                            '</device_capability>'),
    }
    out = {name: frame(OPEN_DEVICE, XML, body) for name, body in seeds.items()}
    out.update(xml_faults(OPEN_DEVICE, CAPABILITY))
    return out


IMAGE_INFO = xml('<image_info color_space="2" resolution="300" width="2550" height="3508" '
                 'bits_per_component="8" bits_per_pixel="24" bytes_per_row="7650"/>')


def image_info_seeds():
    seeds = {
        "color": IMAGE_INFO,
        "gray": xml('<image_info color_space="1" resolution="150" width="1275" height="1754" '
                    'bits_per_component="8" bits_per_pixel="8" bytes_per_row="1275"/>'),
        "missing_bits_per_pixel": xml('<image_info color_space="1" resolution="75" width="10" height="20" '
                                      'bits_per_component="8" bytes_per_row="10"/>'),
        "odd_numbers": xml('<image_info color_space="-1" resolution="4294967296" width=" 12px" height="+3" '
                           'bits_per_component="" bits_per_pixel="x" bytes_per_row="-4294967297"/>'),
        "empty_element": xml("<image_info/>"),
        "other_root": xml('<status scan_status="0"/>'),
    }
    out = {name: frame(SCAN_PARAMETER, XML, body) for name, body in seeds.items()}
    out.update(xml_faults(SCAN_PARAMETER, IMAGE_INFO))
    return out


def scan_status_seeds():
    seeds = {f"scan_status_{name}": xml(f'<status scan_status="{value}"/>')
             for name, value in [("started", 0), ("no_document", 1), ("busy", 2), ("jammed", 3),
                                 ("failed", 4), ("minus_one", -1), ("large", 2147483648)]}
    seeds.update({
        "no_attribute": xml("<status/>"),
        "read_status_only": xml('<status read_status="2"/>'),
        "other_root": xml('<image_info width="1"/>'),
        "nested": xml('<reply><status scan_status="1"/></reply>'),
    })
    out = {name: frame(START_SCAN, XML, body) for name, body in seeds.items()}
    out.update(xml_faults(START_SCAN, xml('<status scan_status="0"/>')))
    return out


def image(size, seed=0):
    return bytes((i * 131 + seed) & 0xFF for i in range(size))


def status(value):
    return frame(READ_IMAGE, XML, xml(f'<status read_status="{value}"/>'))


def read_reply_seeds():
    # First byte: bit 7 presets the cancel flag, bits 0-6 the room (0: none).
    piece = lambda size, seed=0: frame(READ_IMAGE, IMAGE, image(size, seed))  # noqa: E731
    page = piece(765) + piece(765, 1) + piece(300, 2)
    return {
        "page_then_next_page": b"\x00" + page + status(1),
        "page_then_job_end": b"\x00" + page + status(2),
        "device_cancel": b"\x00" + piece(100) + status(3),
        "jam": b"\x00" + piece(100) + status(4),
        "unknown_status": b"\x00" + piece(10) + status(7) + status(-1),
        "status_more": b"\x00" + status(0) + piece(64),
        "status_without_value": b"\x00" + frame(READ_IMAGE, XML, xml("<status/>")) + piece(8),
        "xml_other_root": b"\x00" + frame(READ_IMAGE, XML, xml('<image_info width="3"/>')) + piece(8),
        "empty_image": b"\x00" + frame(READ_IMAGE, IMAGE, b"") + piece(16),
        "empty_xml": b"\x00" + frame(READ_IMAGE, XML, b"") + piece(16),
        "none_kind_with_bytes": b"\x00" + frame(READ_IMAGE, NONE, b"dropped") + piece(16),
        "unknown_kind": b"\x00" + frame(READ_IMAGE, 9, b"dropped too") + status(2),
        "wrong_command": b"\x00" + piece(16) + frame(SCAN_PARAMETER, XML, IMAGE_INFO),
        "request_direction": b"\x00" + frame(READ_IMAGE, IMAGE, image(16), direction=REQUEST),
        "cancelled_before": b"\x80" + page + status(1),
        "small_room": b"\x05" + piece(100) + piece(50) + status(2),
        "no_room": b"\x01" + piece(100) + status(2),
        "large_piece": b"\x00" + piece(60000) + status(2),
        "cut_short": b"\x00" + piece(100)[:70],
        # Cut in the bytes that are taken off the connection and dropped.
        "cut_short_without_room": b"\x01" + piece(100)[:50],
        "cut_short_past_the_room": b"\x05" + piece(100)[:90],
        "length_over_limit": b"\x00" + frame(READ_IMAGE, IMAGE, image(8), length=MAX_PAYLOAD + 1),
        "not_xml_status": b"\x00" + frame(READ_IMAGE, XML, b"<status read_status='1'"),
    }


def acks_seeds():
    # No seed announces a length just under the limit: it is read like any
    # length beyond the end of the input, but a sanitized 256 MiB allocation
    # costs about half a second, and mutants of it would starve the run.
    close_ack = header(CLOSE_DEVICE, REPLY, NONE, 0)
    end_ack = header(END_SCAN, REPLY, NONE, 0)
    frames = frame(READ_IMAGE, IMAGE, image(40)) + frame(DISCOVERY, XML, DEVICES) + header(START_SCAN, REPLY, NONE, 0)
    return {
        "both_acks_then_frames": close_ack + end_ack + frames,
        "acks_only": close_ack + end_ack,
        "close_ack_with_payload": header(CLOSE_DEVICE, REPLY, NONE, 5) + b"12345" + end_ack,
        "end_ack_xml_kind": close_ack + header(END_SCAN, REPLY, XML, 0),
        "ack_as_request": header(CLOSE_DEVICE, REQUEST, NONE, 0) + header(END_SCAN, REQUEST, NONE, 0),
        "acks_swapped": end_ack + close_ack + frames,
        "short": close_ack[:7],
        "refused_length_then_frames": close_ack + end_ack + header(READ_IMAGE, REPLY, IMAGE, MAX_PAYLOAD + 1) +
                                      frames,
        "payload_cut_short": close_ack + end_ack + header(READ_IMAGE, REPLY, IMAGE, 100) + image(60),
    }


def config_seeds():
    return {
        "typical": "# kelvra scan-manager hosts\noffice-mfp\nscanner2.example.lan\n192.0.2.17\n",
        "empty": "",
        "only_newline": "\n",
        "comments": "#office-mfp\n# another comment\n#\n",
        "indented_hash": "  # word\n\t#x\n",
        "blanks_inside": "a b\tc\n  lead\ntrail  \t\n",
        "hash_after_name": "host #word\nhost#x\n",
        "blank_lines": "\n   \t \n\t\t\n \n",
        "crlf": "office-mfp\r\nlab\r\n\r\n",
        "line_254": "h" * 254 + "\nnext\n",
        "line_255": "h" * 255 + "\nnext\n",
        "line_256": "h" * 256 + "\nnext\n",
        "line_253_blanks": " " + "h" * 252 + " \nnext\n",
        "line_600": "x" * 600 + "\nafter-long\n",
        "line_510_exact_pieces": "y" * 510 + "\nafter\n",
        "no_final_newline": "first\nsecond\nlast-without-newline",
        "long_last_line": "first\n" + "z" * 300,
        "duplicates": "same\nsame\nother\nsame\n",
        "zero_byte_in_line": "be\x00fore\nafter\nthird\n",
        "zero_byte_at_start": "\x00\nsecond\n",
        "control_characters": "\x0bvt\n\x0cff\nbell\x07\n\xff\xfe\n",
        "utf8": "scanner-\u00e9\u4e2d\nn\u00e4me\n",
    }


def write(target, seeds):
    directory = CORPUS / target
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    for name, content in seeds.items():
        if isinstance(content, str):
            content = content.encode("utf-8")
        (directory / name).write_bytes(content)


def main():
    write("fuzz_devices", devices_seeds())
    write("fuzz_capability", capability_seeds())
    write("fuzz_image_info", image_info_seeds())
    write("fuzz_scan_status", scan_status_seeds())
    write("fuzz_read_reply", read_reply_seeds())
    write("fuzz_acks", acks_seeds())
    write("fuzz_config", config_seeds())


if __name__ == "__main__":
    main()
