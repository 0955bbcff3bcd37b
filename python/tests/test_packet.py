import pytest

import orvterdep

DOC = '<?xml version="1.0" encoding="UTF-8"?>\n<project><survey><crs unit="m">EPSG:25832</crs></survey></project>\n'


def test_packet_reads_changes_and_saves_by_path(tmp_path):
    path = tmp_path / "project.xml"
    path.write_text(DOC)
    pack = orvterdep.Packet(str(path))
    assert pack.get("/project/crs") == "EPSG:25832"
    assert pack.get("/project/crs", attr="unit") == "m"
    assert pack.get("/project/missing") is None
    assert pack.get("/project/missing", default="x") == "x"

    pack.set("/project/crs", "EPSG:4326")
    pack.set("/project/crs", "deg", attr="unit")
    pack.set("/project/result/points", "25000")  # made on the way
    with pytest.raises(KeyError):
        pack.set("/project/absent", "1", create=False)
    pack.save()

    again = orvterdep.Packet(str(path))
    assert [again.get(p, attr=a) for p, a in [("/project/crs", None), ("/project/crs", "unit"),
                                                ("/project/result/points", None)]] == \
        ["EPSG:4326", "deg", "25000"]
    assert "<points>25000</points>" in orvterdep.Packet.from_string(again.xml).xml


@pytest.mark.parametrize("text, message", [
    ('<?xml version="1.0"?>\n<a><b></a>', "end tag"),
    ("plain text", "not XML"),
])
def test_packet_refusal_carries_the_parser_message(tmp_path, text, message):
    path = tmp_path / "bad.xml"
    path.write_text(text)
    with pytest.raises(orvterdep.FormatError, match=message):
        orvterdep.Packet(str(path))


def test_packet_missing_file_and_unwritable_target_raise(tmp_path):
    with pytest.raises(FileNotFoundError):
        orvterdep.Packet(str(tmp_path / "absent.xml"))
    pack = orvterdep.Packet.from_string(DOC)
    with pytest.raises(ValueError):
        pack.save()  # nowhere to save to
    with pytest.raises(OSError):
        pack.save(str(tmp_path / "no" / "such" / "dir.xml"))


@pytest.mark.parametrize("path, value, attr", [
    ("/project/crs", "Fish & Chips", None),
    ("/project/crs", 'say "hi"', "note"),
    ("/project/crs", "a\x00b", None),
    ("/project/crs", "1", 'q"'),
    ("/project/Na<me", "1", None),
])
def test_packet_set_refuses_what_other_readers_could_not_read(tmp_path, path, value, attr):
    target = tmp_path / "project.xml"
    target.write_text(DOC)
    pack = orvterdep.Packet(str(target))
    before = pack.xml
    with pytest.raises(ValueError):
        pack.set(path, value, attr=attr)
    assert pack.xml == before
    assert target.read_text() == DOC


def test_packet_save_keeps_root_attributes_and_characters(tmp_path):
    import xml.etree.ElementTree as ElementTree
    path = tmp_path / "doc.xml"
    path.write_bytes("<r b=\"2\" a='say \"hi\"'><n>café</n><m/></r>".encode())
    pack = orvterdep.Packet(str(path))
    pack.set("/r/m", "thé")
    pack.save()
    root = ElementTree.parse(str(path)).getroot()  # a reader that is not ours
    assert root.attrib == {"a": 'say "hi"', "b": "2"}
    assert [root.find("n").text, root.find("m").text] == ["café", "thé"]
