#!/usr/bin/env python3
"""Compares every field of Kestrel's decode trees with tshark's dissection.

For each capture file, kestrel-dump --tree gives Kestrel's tree and
`tshark -T pdml` gives the tree that `tshark -V` prints, with the byte
position and size of every field. Each Kestrel item with a value is matched
with the tshark field of the same meaning at the same byte position, and the
two values are compared: numbers as numbers, addresses as addresses, checksum
verdicts against tshark's checksum status, data lines against the frame's
bytes, and the time and length of the root line against the frame's. Items
whose bytes tshark dissects as something else (or not at all) are reported
too, with what tshark has there.

    python3 tools/corpus/compare_with_tshark.py build/ci/kestrel-dump/kestrel-dump tests/corpus/*.pcap*

Prints each disagreement that is not an accepted one (the list at the end of
this file says why each accepted one differs) and a count per file; exits 1
when any is left. Not part of CI: run it when the corpus or a decoder changes.
"""
import collections
import datetime
import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

TSHARK_OPTIONS = [
    "-o", "ip.check_checksum:TRUE", "-o", "tcp.check_checksum:TRUE",
    "-o", "udp.check_checksum:TRUE", "-o", "tcp.relative_sequence_numbers:FALSE",
    "-o", "tcp.analyze_sequence_numbers:FALSE", "-o", "ip.defragment:FALSE",
]
# Checksum status of tshark: bad, good, unverified, not present.
STATUS = {"0": "(NG)", "1": "(OK)", "2": "(未検証)", "3": "無効"}


class Field:
    def __init__(self, e):
        self.name = e.get("name", "")
        self.pos = int(e.get("pos", "0"))
        self.size = int(e.get("size", "0"))
        self.show = e.get("show", "")
        self.value = e.get("value")
        self.masked = e.get("unmaskedvalue") is not None
        self.text = e.get("showname") or self.show


def tshark_packets(path):
    """{frame number: (fields, raw bytes)} from tshark."""
    pdml = subprocess.run(["tshark", "-r", path, "-T", "pdml"] + TSHARK_OPTIONS,
                          capture_output=True, check=True).stdout
    raw = json.loads(subprocess.run(["tshark", "-r", path, "-T", "json", "-x"] + TSHARK_OPTIONS,
                                    capture_output=True, check=True).stdout or b"[]")
    packets = {}
    for number, (packet, record) in enumerate(zip(ET.fromstring(pdml), raw), 1):
        fields = [Field(e) for e in packet.iter() if e.tag in ("field", "proto")]
        frame = record["_source"]["layers"].get("frame_raw", [""])[0]
        packets[number] = (fields, bytes.fromhex(frame))
    return packets


def kestrel_trees(dump, path):
    """{frame number: [(depth, text, first, length)]} from kestrel-dump --tree."""
    out = subprocess.run([dump, "--tree", path], capture_output=True, check=True,
                         env=dict(os.environ, TZ="UTC")).stdout.decode()
    trees, number, current = {}, 0, None
    for line in out.split("\n"):
        if not line:
            if current is None:
                number += 1  # a frame with nothing captured prints only its blank line
            current = None
            continue
        text, _, where = line.partition("\t")
        depth = (len(text) - len(text.lstrip(" "))) // 2
        first, length = map(int, where.split()) if where != "-" else (None, None)
        if depth == 0:
            number += 1
            current = trees.setdefault(number, [])
        current.append((depth, text.strip(" "), first, length))
    return trees


def split(text):
    """"【 label 】【 value 】" to (label, value); value None when there is none."""
    m = re.fullmatch(r"【 (.*?) ?】(?:【 (.*?) ?】)?", text)
    return (m.group(1), m.group(2)) if m else (text, None)


def number(text):
    return int(text, 16) if text.startswith("0x") else int(text)


def graphic(data):
    return "".join(chr(b) if 0x21 <= b <= 0x7E else "." for b in data)


class Packet:
    def __init__(self, fields, raw):
        self.fields, self.raw = fields, raw

    def find(self, names, pos):
        for f in self.fields:
            if f.name in names and f.pos == pos:
                return f
        return None

    def at(self, pos):
        return ", ".join(sorted({f.name for f in self.fields if f.pos == pos and f.name})) or "nothing"

    def bytes(self, pos, n):
        """The n bytes at pos as tshark's fields hold them, or None."""
        got = {}
        for f in self.fields:
            if f.value and not f.masked and f.size and len(f.value) == 2 * f.size:
                for i in range(f.size):
                    if pos <= f.pos + i < pos + n:
                        got[f.pos + i] = int(f.value[2 * i:2 * i + 2], 16)
        return bytes(got[p] for p in range(pos, pos + n)) if len(got) == n else None


def lead(value):
    return value.split(" ")[0]


def bit(value):
    return value[0]


def dotted(data):
    return ".".join(str(b) for b in data)


def mac(show):
    return show.upper().replace(":", "-")


# (section, label) -> (tshark field names, how Kestrel's value is read from
# it): a function of (Kestrel value, tshark field) returning the value tshark
# says, in Kestrel's words.
SIMPLE = {
    ("MAC", "宛て先MACｱﾄﾞﾚｽ"): (["eth.dst"], lambda v, f: mac(f.show)),
    ("MAC", "送信元MACｱﾄﾞﾚｽ"): (["eth.src"], lambda v, f: mac(f.show)),
    ("MAC", "ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ"): (["eth.type", "eth.len"], lambda v, f: "0x%04X" % number(f.show)),
    ("ARP", "ﾊｰﾄﾞｳｪｱﾀｲﾌﾟ"): (["arp.hw.type"], lambda v, f: str(number(f.show))),
    ("ARP", "ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ"): (["arp.proto.type"], lambda v, f: str(number(f.show))),
    ("ARP", "ﾊｰﾄﾞｳｪｱｱﾄﾞﾚｽ長"): (["arp.hw.size"], lambda v, f: f.show),
    ("ARP", "ﾌﾟﾛﾄｺﾙｱﾄﾞﾚｽ長"): (["arp.proto.size"], lambda v, f: f.show),
    ("ARP", "ｵﾍﾟﾚｰｼｮﾝ"): (["arp.opcode"], lambda v, f: "0x%04X" % number(f.show)),
    ("ARP", "発信元ﾊｰﾄﾞｳｪｱｱﾄﾞﾚｽ"): (["arp.src.hw_mac"], lambda v, f: mac(f.show)),
    ("ARP", "ﾀｰｹﾞｯﾄﾊｰﾄﾞｳｪｱｱﾄﾞﾚｽ"): (["arp.dst.hw_mac"], lambda v, f: mac(f.show)),
    ("ARP", "発信元ﾌﾟﾛﾄｺﾙｱﾄﾞﾚｽ"): (["arp.src.proto_ipv4"], lambda v, f: f.show),
    ("ARP", "ﾀｰｹﾞｯﾄﾌﾟﾛﾄｺﾙｱﾄﾞﾚｽ"): (["arp.dst.proto_ipv4"], lambda v, f: f.show),
    ("IP", "ﾊﾞｰｼﾞｮﾝ"): (["ip.version"], lambda v, f: "%x" % int(f.show)),
    ("IP", "ﾍｯﾀﾞｰ長"): (["ip.hdr_len"], lambda v, f: f.show + " ﾊﾞｲﾄ"),
    ("IP", "全長"): (["ip.len"], lambda v, f: f.show + " ﾊﾞｲﾄ"),
    ("IP", "識別"): (["ip.id"], lambda v, f: str(number(f.show))),
    ("IP", "ﾌﾗｸﾞﾒﾝﾄｵﾌｾｯﾄ"): (["ip.frag_offset"], lambda v, f: f.show),
    ("IP", "TTL"): (["ip.ttl"], lambda v, f: f.show),
    ("IP", "ﾌﾟﾛﾄｺﾙ"): (["ip.proto"], lambda v, f: f.show),
    ("IP", "送信元ｱﾄﾞﾚｽ"): (["ip.src"], lambda v, f: f.show),
    # With a source route, tshark calls the header's destination the current hop.
    ("IP", "宛て先ｱﾄﾞﾚｽ"): (["ip.dst", "ip.cur_rt"], lambda v, f: f.show),
    ("IPFLAGS", "予約"): (["ip.flags.rb"], lambda v, f: bit(f.show)),
    ("IPFLAGS", "ﾌﾗｸﾞﾒﾝﾄ化禁止"): (["ip.flags.df"], lambda v, f: bit(f.show)),
    ("IPFLAGS", "後続ﾌﾗｸﾞﾒﾝﾄ"): (["ip.flags.mf"], lambda v, f: bit(f.show)),
    ("IPOPT", "ｺﾋﾟｰ"): (["ip.opt.type.copy"], lambda v, f: f.show),
    ("IPOPT", "ｵﾌﾟｼｮﾝｸﾗｽ"): (["ip.opt.type.class"], lambda v, f: f.show),
    ("IPOPT", "ｵﾌﾟｼｮﾝ番号"): (["ip.opt.type.number"], lambda v, f: f.show),
    ("IPOPT", "ｵﾌﾟｼｮﾝの長さ"): (["ip.opt.len"], lambda v, f: f.show + " ﾊﾞｲﾄ"),
    ("IPOPT", "次ｽﾛｯﾄﾎﾟｲﾝﾀ"): (["ip.opt.ptr"], lambda v, f: f.show),
    ("IPOPT", "ｵｰﾊﾞｰﾌﾛｰ"): (["ip.opt.overflow"], lambda v, f: f.show),
    ("IPOPT", "ﾌﾗｸﾞ"): (["ip.opt.flag"], lambda v, f: str(number(f.show))),
    ("TCP", "発信元ﾎﾟｰﾄ"): (["tcp.srcport"], lambda v, f: f.show),
    ("TCP", "宛先ﾎﾟｰﾄ"): (["tcp.dstport"], lambda v, f: f.show),
    ("TCP", "ｼｰｹﾝｽ番号"): (["tcp.seq_raw", "tcp.seq"], lambda v, f: f.show),
    ("TCP", "確認応答番号"): (["tcp.ack_raw"], lambda v, f: f.show),
    ("TCP", "ﾃﾞｰﾀｵﾌｾｯﾄ"): (["tcp.hdr_len"], lambda v, f: f.show + " ﾊﾞｲﾄ"),
    ("TCP", "ｳｨﾝﾄﾞｳ"): (["tcp.window_size_value"], lambda v, f: f.show + " ﾊﾞｲﾄ"),
    ("TCP", "緊急ﾎﾟｲﾝﾀ"): (["tcp.urgent_pointer"], lambda v, f: f.show),
    ("TCPOPT", "ｵﾌﾟｼｮﾝの種類"): (["tcp.option_kind"], lambda v, f: f.show),
    ("TCPOPT", "ｵﾌﾟｼｮﾝの長さ"): (["tcp.option_len"], lambda v, f: f.show + " ﾊﾞｲﾄ"),
    ("TCPOPT", "最大ｾｸﾞﾒﾝﾄｻｲｽﾞ"): (["tcp.options.mss_val"], lambda v, f: f.show + " ﾊﾞｲﾄ"),
    ("TCPOPT", "ｼﾌﾄｶｳﾝﾄ"): (["tcp.options.wscale.shift"], lambda v, f: f.show),
    ("UDP", "発信元ﾎﾟｰﾄ"): (["udp.srcport"], lambda v, f: f.show),
    ("UDP", "宛先ﾎﾟｰﾄ"): (["udp.dstport"], lambda v, f: f.show),
    ("UDP", "長さ"): (["udp.length"], lambda v, f: f.show + " ﾊﾞｲﾄ"),
    ("ICMP", "ﾀｲﾌﾟ"): (["icmp.type"], lambda v, f: f.show),
    ("ICMP", "ｺｰﾄﾞ"): (["icmp.code"], lambda v, f: f.show),
    ("ICMP", "識別子"): (["icmp.ident"], lambda v, f: str(number(f.show))),
    ("ICMP", "ｼｰｹﾝｽ番号"): (["icmp.seq"], lambda v, f: str(number(f.show))),
    ("ICMP", "ﾎﾟｲﾝﾀ"): (["icmp.pointer"], lambda v, f: f.show),
    ("ICMP", "ｱﾄﾞﾚｽ数"): (["icmp.num_addrs"], lambda v, f: f.show),
    ("ICMP", "ｱﾄﾞﾚｽｴﾝﾄﾘｻｲｽﾞ"): (["icmp.addr_entry_size"], lambda v, f: f.show),
    ("ICMP", "寿命"): (["icmp.lifetime"], lambda v, f: "%d (秒)" % int(f.value, 16)),
    ("ICMP", "ﾙｰﾀｰIPｱﾄﾞﾚｽ"): (["icmp.redir_gw"], lambda v, f: f.show),
    ("IGMP", "ﾊﾞｰｼﾞｮﾝ"): (["igmp.version"], lambda v, f: f.show),
    ("IGMP", "ｸﾞﾙｰﾌﾟｱﾄﾞﾚｽ"): (["igmp.maddr"], lambda v, f: f.show),
}

# Values Kestrel shows as raw bytes ("a b c d" or a dotted quad) whatever
# tshark calls them: compared with the bytes tshark's fields hold there.
RAW = {
    ("IPOPT", "値"): " ", ("ICMP", "未使用"): " ", ("ICMP", "予約"): " ",
}
ADDRESS_LABELS = re.compile(r"(\d+)番目のIPｱﾄﾞﾚｽ|ﾙｰﾀｰIPｱﾄﾞﾚｽ \d+|優先ﾚﾍﾞﾙ \d+")

SECTIONS = {"MAC層": "MAC", "ARP": "ARP", "IPﾍｯﾀﾞ": "IP", "TCPﾍｯﾀﾞ": "TCP", "UDPﾍｯﾀﾞ": "UDP",
            "ICMPﾍｯﾀﾞ": "ICMP", "IGMPﾒｯｾｰｼﾞ": "IGMP", "ﾃﾞｰﾀ": "DATA",
            "Ethernetﾃﾞｰﾀ": "DATA"}


def context(path_texts):
    """The section of an item from the texts of its ancestors."""
    section = SECTIONS.get(split(path_texts[1])[0], "?") if len(path_texts) > 1 else "ROOT"
    parent = path_texts[-1]
    if parent.startswith("【 IPｵﾌﾟｼｮﾝ"):
        return "IPOPT"
    if parent.startswith("【 TCPｵﾌﾟｼｮﾝ"):
        return "TCPOPT"
    if parent.startswith("【 TOS "):
        return "TOS"
    if parent.startswith("【 ﾌﾗｸﾞﾒﾝﾄ化ﾌﾗｸﾞ"):
        return "IPFLAGS"
    return section


def check_item(pkt, section, text, first, length, problems):
    """Compares one item; appends (label, message) for each disagreement."""
    label, value = split(text)

    def differ(message):
        problems.append((label, "%s at %s: %s" % (text, first, message)))

    def expect(names, want):
        f = pkt.find(names, first)
        if f is None:
            differ("tshark has no %s here (it has %s)" % ("/".join(names), pkt.at(first)))
            return None
        got = want(value, f)
        if got != value:
            differ("tshark: %s (%s)" % (got, f.text))
        return f

    key = (section, label)
    if section == "DATA":
        data = pkt.raw[first:first + length]
        if len(data) != length or graphic(data) != text:
            differ("frame bytes read %r" % graphic(data))
        return
    if section == "ROOT":
        return
    if section == "IPOPT" and label in ("ｺﾋﾟｰ", "ｵﾌﾟｼｮﾝｸﾗｽ", "ｵﾌﾟｼｮﾝ番号") and \
            pkt.find(SIMPLE[key][0], first) is None:
        # An option tshark does not name: its type byte as tshark's fields
        # (or its frame bytes) hold it.
        data = pkt.bytes(first, 1) or pkt.raw[first:first + 1]
        t = data[0]
        got = {"ｺﾋﾟｰ": t >> 7, "ｵﾌﾟｼｮﾝｸﾗｽ": t >> 5 & 3, "ｵﾌﾟｼｮﾝ番号": t & 31}[label]
        if str(got) != lead(value):
            differ("the option type byte there is 0x%02x" % t)
        return
    if key in SIMPLE:
        names, want = SIMPLE[key]
        if key == ("MAC", "ﾌﾟﾛﾄｺﾙﾀｲﾌﾟ") or key == ("IP", "ﾌﾟﾛﾄｺﾙ"):
            value = lead(value)
        if section == "IPOPT" and label in ("ｵﾌﾟｼｮﾝｸﾗｽ", "ｵﾌﾟｼｮﾝ番号"):
            value = lead(value)
        if section == "ICMP" and label in ("ﾀｲﾌﾟ", "ｺｰﾄﾞ"):
            value = lead(value)
        if section == "TCPOPT" and label == "ｵﾌﾟｼｮﾝの種類":
            value = lead(value)
        if key == ("IP", "ﾊﾞｰｼﾞｮﾝ") or section == "IPFLAGS":
            value = lead(value)
        expect(names, want)
        return
    if key in RAW or ADDRESS_LABELS.fullmatch(label):
        # Where no field of tshark holds these bytes, its frame bytes do.
        data = pkt.bytes(first, length) or pkt.raw[first:first + length]
        if len(data) != length:
            differ("tshark has no bytes %d-%d" % (first, first + length - 1))
        else:
            got = dotted(data) if ADDRESS_LABELS.fullmatch(label) else " ".join(map(str, data))
            if got != value:
                differ("tshark's bytes read %s" % got)
        return
    if label.startswith("TOS "):
        f = pkt.find(["ip.dsfield"], first)
        if f is None or str(number(f.show)) != label[4:]:
            differ("tshark: %s" % (f.text if f else pkt.at(first)))
        return
    if section == "TOS":
        f = pkt.find(["ip.dsfield"], first)
        if f is None:
            differ("tshark has no ip.dsfield")
            return
        tos = number(f.show)
        bits = {"優先順位": format(tos >> 5, "03b"), "遅延": str(tos >> 4 & 1),
                "ｽﾙｰﾌﾟｯﾄ": str(tos >> 3 & 1), "信頼性": str(tos >> 2 & 1),
                "ｺｽﾄ": str(tos >> 1 & 1), "予約": str(tos & 1)}
        if lead(value) != bits[label]:
            differ("tshark's DS field 0x%02x gives %s" % (tos, bits[label]))
        return
    if label.startswith("ﾌﾗｸﾞﾒﾝﾄ化ﾌﾗｸﾞ "):
        f = pkt.find(["ip.flags"], first)
        got = f and str(number(f.show))
        if got != label.split(" ")[1]:
            differ("tshark: %s" % (f.text if f else pkt.at(first)))
        return
    if label == "IPｵﾌﾟｼｮﾝなし":
        if any(f.name.startswith("ip.opt") and f.pos == first for f in pkt.fields):
            differ("tshark shows IP options")
        return
    if label == "ﾍｯﾀﾞｰﾁｪｯｸｻﾑ" or label == "ﾁｪｯｸｻﾑ":
        prefix = {"IP": "ip", "TCP": "tcp", "UDP": "udp", "ICMP": "icmp", "IGMP": "igmp"}[section]
        f = pkt.find([prefix + ".checksum"], first)
        status = pkt.find([prefix + ".checksum.status"], first)
        if f is None:
            differ("tshark has no %s.checksum (it has %s)" % (prefix, pkt.at(first)))
            return
        got = "%d %s" % (number(f.show), STATUS[status.show] if status else "?")
        if got != value:
            differ("tshark: %s, %s" % (f.text, status.text if status else "no status"))
        return
    if section == "TCP" and label == "予約":
        expect(["tcp.flags"], lambda v, f: str(int(f.value, 16) & 0xFC0))
        return
    if section == "TCP" and label == "ﾌﾗｸﾞ":
        def flags(v, f):
            x = int(f.value, 16) & 0x3F
            return "%d [URG %d] [ACK %d] [PSH %d] [RST %d] [SYN %d] [FIN %d]" % (
                x, x >> 5 & 1, x >> 4 & 1, x >> 3 & 1, x >> 2 & 1, x >> 1 & 1, x & 1)
        f = pkt.find(["tcp.flags"], first - 1)
        if f is None:
            differ("tshark has no tcp.flags")
        elif flags(value, f) != value:
            differ("tshark: %s" % f.text)
        return
    if section == "TCPOPT" and label in ("TS値", "TSｴｺｰ応答") or re.fullmatch(r"\d+番目のﾌﾞﾛｯｸ[左右]端", label):
        names = {"TS値": "tcp.options.timestamp.tsval", "TSｴｺｰ応答": "tcp.options.timestamp.tsecr"}
        name = names.get(label) or ("tcp.options.sack_le" if "左" in label else "tcp.options.sack_re")
        expect([name], lambda v, f: str((int(f.show) + 2**31) % 2**32 - 2**31))
        return
    if section == "IGMP" and label == "ﾀｲﾌﾟ":
        def igmp_type(v, f):
            t = number(f.show)
            if "以降解析不可" in v:
                return "%d (以降解析不可)" % t
            return str(t & 0x0F if t in (0x11, 0x12) else t) + v[len(lead(v)):]
        expect(["igmp.type", "dvmrp.type"], igmp_type)
        return
    if section == "IGMP" and label in ("未使用", "最大応答時間"):
        data = pkt.bytes(first, 1)
        shown = int(lead(value))
        if data is None or data[0] != shown:
            differ("tshark's byte there: %s" % (data[0] if data else pkt.at(first)))
        return
    differ("no rule to compare this item with tshark")


def compare(dump, path):
    packets = tshark_packets(path)
    trees = kestrel_trees(dump, path)
    problems = []
    agreed = 0
    for n, (fields, raw) in sorted(packets.items()):
        pkt = Packet(fields, raw)
        tree = trees.get(n, [])
        if not tree:
            if raw:
                problems.append((n, "", "no Kestrel tree for a frame with bytes"))
            continue
        root = tree[0][1]
        m = re.fullmatch(r"【 No\.(\d+) 】【 (.*)\.(\d+) 】【 (\d+) ﾊﾞｲﾄ 】", root)
        epoch = next(f for f in fields if f.name == "frame.time_epoch").show
        seconds, fraction = epoch.split(".")
        when = datetime.datetime.fromtimestamp(int(seconds), datetime.timezone.utc)
        want = (str(n), when.strftime("%Y/%m/%d %H:%M:%S"), str(int(fraction[:3])), str(len(raw)))
        if m is None or m.groups() != want:
            problems.append((n, "root", "%s: tshark says %s" % (root, want)))
        path_texts = [root]
        for depth, text, first, length in tree[1:]:
            path_texts = path_texts[:depth] + [text]
            section = context(path_texts[:-1])
            if depth == 1 or first is None or text.startswith("【 IPｵﾌﾟｼｮﾝ 】") \
                    or text.startswith("【 TCPｵﾌﾟｼｮﾝ 】"):
                continue  # headings: their fields are compared
            before = len(problems)
            local = []
            check_item(pkt, section, text, first, length, local)
            problems.extend((n, label, message) for label, message in local)
            agreed += len(problems) == before
    return agreed, problems


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    dump = sys.argv[1]
    left = 0
    for path in sys.argv[2:]:
        name = os.path.basename(path)
        agreed, problems = compare(dump, path)
        accepted = collections.Counter()
        for n, label, message in problems:
            reason = ACCEPTED.get((name, n)) or ACCEPTED.get((name, n, label))
            if reason:
                accepted[reason] += 1
                continue
            left += 1
            print("%s #%d: %s" % (name, n, message))
        print("%s: %d values agree, %d differ as accepted below, %d differ"
              % (name, agreed, sum(accepted.values()), len(problems) - sum(accepted.values())))
    return 1 if left else 0


# Disagreements that are the decoders' rules, not faults: (file, frame) or
# (file, frame, label) -> why Kestrel shows what it shows.
FRAGMENT = ("Kestrel decodes the transport header of every fragment; tshark only that of the "
            "first, and leaves its checksum unverified")
ARP_LAYOUT = ("Kestrel lays ARP out for 6-byte hardware and 4-byte protocol addresses whatever "
              "the size fields say; tshark follows the sizes")
CUT = ("a header not captured whole: tshark shows none of its fields, Kestrel each field "
       "whose bytes were captured")
ZERO_LENGTH = ("IP total length 0: tshark takes the captured length (segmentation offload); "
               "Kestrel shows 0, and an ICMP message with no room for it as NG")
IGMP_QUERY = ("Kestrel shows a query (0x11) as version 1 and checks the 8 bytes of a version 1 "
              "or 2 message; tshark tells versions 2 and 3 apart and checks a version 3 "
              "message whole")
SOURCE_ROUTE = ("Kestrel's pseudo-header takes the header's destination; tshark takes the "
                "last address of the source route")
OPTION_LENGTH = ("an option length below the option's minimum or past the header: tshark stops "
                 "there; Kestrel walks on by its rules (route and timestamp options step over "
                 "their fixed part, a TCP timestamp over 10 bytes, SACK over whole blocks; a "
                 "TCP option length below 2 ends the walk)")
SHORT_IP_HEADER = ("IP header length below 20: tshark stops after the length; Kestrel shows the "
                   "fixed header and decodes on")
VERSION_6 = "version 6 behind EtherType 0x0800: tshark dissects IPv6, Kestrel the IPv4 layout"
TCP_OFFSET = ("TCP header length below 20 or past the IP total length: tshark stops after it; "
              "Kestrel shows the fixed header")
UDP_LENGTH = "UDP length below 8: tshark shows no checksum; Kestrel checks the 4 bytes declared"

ACCEPTED = {
    ("arp.pcap", 11): ARP_LAYOUT, ("arp.pcap", 12): ARP_LAYOUT, ("arp.pcap", 13): ARP_LAYOUT,
    ("arp.pcap", 15): CUT, ("arp.pcap", 17): CUT, ("link.pcap", 11): CUT, ("link.pcap", 12): CUT,
    ("ip.pcap", 17): CUT,
    ("fragments.pcap", 2): FRAGMENT, ("fragments.pcap", 3): FRAGMENT,
    ("fragments.pcap", 4): FRAGMENT, ("fragments.pcap", 5): FRAGMENT,
    ("fragments.pcap", 7): FRAGMENT,
    ("icmp.pcap", 31): ZERO_LENGTH, ("nanoseconds.pcapng", 1): ZERO_LENGTH,
    ("igmp.pcap", 3): IGMP_QUERY, ("igmp.pcap", 4): IGMP_QUERY, ("igmp.pcap", 8): IGMP_QUERY,
    ("igmp.pcap", 9): IGMP_QUERY,
    ("ip.pcap", 3, "ﾁｪｯｸｻﾑ"): SOURCE_ROUTE,
    ("ip.pcap", 8): OPTION_LENGTH, ("ip.pcap", 9): OPTION_LENGTH, ("ip.pcap", 13): OPTION_LENGTH,
    ("tcp.pcap", 15): OPTION_LENGTH, ("tcp.pcap", 16): OPTION_LENGTH,
    ("tcp.pcap", 17): OPTION_LENGTH, ("tcp.pcap", 18): OPTION_LENGTH,
    ("tcp.pcap", 19): OPTION_LENGTH, ("tcp.pcap", 20): OPTION_LENGTH,
    ("tcp.pcap", 21): OPTION_LENGTH,
    ("ip.pcap", 18): SHORT_IP_HEADER, ("ip.pcap", 19): VERSION_6,
    ("tcp.pcap", 32): TCP_OFFSET, ("tcp.pcap", 33): TCP_OFFSET,
    ("udp.pcap", 6): UDP_LENGTH,
}

if __name__ == "__main__":
    sys.exit(main())
