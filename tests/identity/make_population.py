#!/usr/bin/env python3
"""make_population.py: writes tests/data/identity_population.txt, a labelled
home-network population for the identification accuracy test
(tests/pipeline/identity_accuracy_test.cpp).

Every device is built from public facts about its kind: the IEEE prefixes of
its maker (read from systemd's copy of the registry, 20-OUI.hwdb), the host
names the maker's firmware sets by default, the DHCP parameter-request list
and vendor class of its operating system, and the cloud, update and
connectivity-check names it looks up. Devices vary the way real ones do:
some send no host name, some were renamed by their owner, phones and
tablets use randomised addresses, some query nothing known, a few kinds fit
no profile at all. Two log syntaxes are written: dnsmasq (with log-dhcp for
about half of the exchanges, interleaved, and log-queries) and ISC dhcpd with
BIND's query log.

    tests/identity/make_population.py            writes the data file
    tests/identity/make_population.py --stdout   prints it

The output is deterministic (fixed seed); regenerate it after changing this
script. File format, one record a line:
    D <expected profile or -> <MAC> <host name or ->     a device
    L <log line>                                         a line, in sending order
"""
import random
import re
import sys
from pathlib import Path

HWDB = Path("/usr/lib/udev/hwdb.d/20-OUI.hwdb")
OUT = Path(__file__).resolve().parent.parent / "data" / "identity_population.txt"

rng = random.Random(16)


def prefixes_by_vendor():
    table = {}
    key = None
    for line in HWDB.read_text(errors="replace").splitlines():
        m = re.match(r"^OUI:([0-9A-F]{6})\*$", line)
        if m:
            key = m.group(1)
            continue
        if key and line.startswith(" ID_OUI_FROM_DATABASE="):
            table.setdefault(line.split("=", 1)[1], []).append(key)
            key = None
    return table


VENDORS = prefixes_by_vendor()


def oui_of(pattern):
    """A 24-bit prefix (sorted first ones, stable across registry updates) of
    a vendor whose registry name matches the pattern."""
    names = sorted(n for n in VENDORS if re.search(pattern, n, re.I))
    pool = sorted(p for n in names for p in VENDORS[n])
    if not pool:
        raise SystemExit(f"no prefix for {pattern}")
    return rng.choice(pool[:40])


def mac_from(prefix):
    return ":".join([prefix[0:2], prefix[2:4], prefix[4:6]] +
                    [f"{rng.randrange(256):02x}" for _ in range(3)]).lower()


def random_mac():
    first = (rng.randrange(256) & 0xFC) | 0x02
    return ":".join([f"{first:02x}"] + [f"{rng.randrange(256):02x}" for _ in range(5)])


PEOPLE = ["Anna", "Ben", "Chloe", "David", "Emma", "Felix", "Grace", "Hugo", "Ines", "Jonas"]
ROOMS = ["Kitchen", "Living-Room", "Bedroom", "Office", "Garage", "Hall"]


def fill(template, mac):
    hexmac = mac.replace(":", "").upper()
    return (template.replace("{person}", rng.choice(PEOPLE))
            .replace("{room}", rng.choice(ROOMS))
            .replace("{hex4}", f"{rng.randrange(16**4):04X}")
            .replace("{hex6}", hexmac[6:])
            .replace("{mac12}", hexmac)
            .replace("{win}", "".join(rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZ0123456789") for _ in range(7)))
            .replace("{n}", str(rng.randrange(10, 99))))


# Operating systems: option-55 lists and vendor classes (fingerbank; the
# clients' sources: Windows, Apple, Android's DhcpClient, ISC dhclient,
# dhcpcd, busybox udhcpc, lwIP).
OS = {
    "win11": (["1,3,6,15,31,33,43,44,46,47,119,121,249,252"], "MSFT 5.0"),
    "win10": (["1,3,6,15,31,33,43,44,46,47,119,121,249,252", "1,15,3,6,44,46,47,31,33,121,249,252,43"], "MSFT 5.0"),
    "macos": (["1,121,3,6,15,108,114,119,252,95,44,46", "1,121,3,6,15,119,252,95,44,46"], None),
    "ios": (["1,121,3,6,15,108,114,119,252", "1,121,3,6,15,119,252"], None),
    "android": (["1,3,6,15,26,28,51,58,59,43,114", "1,3,6,15,26,28,51,58,59,43,114,108", "1,3,6,15,26,28,51,58,59,43"],
                "android-dhcp-{n}"),
    "linux": (["1,28,2,3,15,6,119,12,44,47,26,121,42", "1,28,2,3,15,6,119,12,44,47,26,121,42,249,33,252,17"], None),
    "dhcpcd": (["1,121,33,3,6,12,15,26,28,42,51,54,58,59,119"], "dhcpcd-9.4.1:Linux-6.1.21-v8+:aarch64:BCM2835"),
    "udhcpc": (["1,3,6,12,15,28,42"], "udhcp 1.36.1"),
    "lwip": (["1,3,28,6"], None),
    "unknown": (["1,3,6,15,12,44"], None),
}

GENERIC_DNS = ["www.google.com", "time.google.com", "pool.ntp.org", "www.wikipedia.org", "api.github.com"]

# kind: expected profile ("-" = no profile fits), vendor pattern (None = a
# randomised address every time), host names (None = sends none), OS,
# queried names, share of devices with a randomised address, count.
KINDS = [
    ("iPhone", r"^Apple, Inc", ["{person}s-iPhone", "iPhone", "iPhone-{n}", None], "ios",
     ["captive.apple.com", "gateway.icloud.com", "mesu.apple.com"], 0.7, 14),
    ("iPad", r"^Apple, Inc", ["{person}s-iPad", "iPad", None], "ios", ["captive.apple.com", "gs.apple.com"], 0.6, 8),
    ("MacBook / iMac", r"^Apple, Inc", ["{person}s-MacBook-Pro", "{person}s-MacBook-Air", "iMac-{person}", "{person}s-Mac-mini", None],
     "macos", ["captive.apple.com", "swscan.apple.com"], 0.2, 10),
    ("Apple TV", r"^Apple, Inc", ["Apple-TV", "{room}-Apple-TV", "AppleTV"], "ios", ["captive.apple.com", "play.itunes.apple.com"], 0.0, 5),
    ("HomePod", r"^Apple, Inc", ["HomePod", "{room}-HomePod"], "ios", ["captive.apple.com"], 0.0, 4),
    ("Android Phone", r"^Samsung Electronics Co.,Ltd|^Xiaomi Communications|^OnePlus Technology|^Motorola Mobility",
     ["Galaxy-S23-Ultra", "Galaxy-A54-5G", "Redmi-Note-12", "OnePlus-11", "moto-g-{n}", "android-{hex4}{hex4}{hex4}{hex4}", None],
     "android", ["connectivitycheck.gstatic.com", "android.googleapis.com", "play.googleapis.com"], 0.7, 18),
    ("Android Tablet", r"^Samsung Electronics Co.,Ltd|^Lenovo Mobile", ["Galaxy-Tab-S8", "Galaxy-Tab-A8", None], "android",
     ["connectivitycheck.gstatic.com"], 0.5, 6),
    ("Google Pixel", r"^Google, Inc", ["Pixel-7", "Pixel-8-Pro", "Pixel-6a", None], "android",
     ["connectivitycheck.gstatic.com", "android.clients.google.com"], 0.6, 8),
    ("Windows PC", r"^Intel Corporate|^Dell Inc|^ASUSTek|^Micro-Star|^GIGA-BYTE",
     ["DESKTOP-{win}", "{person}-PC", "DESKTOP-{win}", "GAMING-RIG"], "win11",
     ["www.msftconnecttest.com", "dns.msftncsi.com", "settings-win.data.microsoft.com"], 0.0, 16),
    ("Windows Laptop", r"^Intel Corporate|^Liteon|^AzureWave|^Hon Hai", ["LAPTOP-{win}"], "win10",
     ["www.msftconnecttest.com", "login.live.com"], 0.1, 12),
    ("Linux Desktop", r"^Intel Corporate|^Dell Inc|^Lenovo", ["ubuntu-desktop", "{person}-ThinkPad-X1", "fedora", "debian-{n}"], "linux",
     ["connectivity-check.ubuntu.com", "nmcheck.gnome.org", "security.ubuntu.com"], 0.0, 8),
    ("Linux Server", r"^Intel Corporate|^Super Micro|^Dell Inc", ["server-{n}", "srv-backup", "proxmox", "nuc-{n}"], "linux",
     ["ntp.ubuntu.com", "deb.debian.org"], 0.0, 6),
    ("Raspberry Pi", r"^Raspberry Pi", ["raspberrypi", "rpi-{room}", None], "dhcpcd", ["raspbian.raspberrypi.org", "archive.raspberrypi.com"], 0.0, 8),
    ("Samsung Smart TV", r"^Samsung Electronics Co.,Ltd", ["Samsung-TV", "[TV] Samsung Q70 Series", None], "udhcpc",
     ["samsungcloudsolution.com", "osb.samsungqbe.com", "time.samsungcloudsolution.com"], 0.0, 8),
    ("LG Smart TV", r"^LG Electronics$|^LG ELECTRONICS INC", ["LGwebOSTV", "lgtv-{room}", None], "udhcpc",
     ["lgtvsdp.com", "snu.lge.com", "aic-ngfts.lge.com"], 0.0, 7),
    ("Sony Bravia TV", r"^Sony Corporation", ["BRAVIA-4K-{n}", "BRAVIA"], "android", ["connectivitycheck.gstatic.com"], 0.0, 4),
    ("Roku Player", r"^Roku, Inc", ["Roku-Ultra", "Roku-Express-{hex4}", None], "udhcpc", ["scribe.logs.roku.com", "api.roku.com"], 0.0, 7),
    ("Amazon Fire TV", r"^Amazon Technologies", ["Fire-TV-Stick", "amazon-{hex4}{hex4}", "fire-tv-{room}"], "android",
     ["device-metrics-us.amazon.com", "api.amazon.com"], 0.0, 6),
    ("Google Chromecast", r"^Google, Inc", ["Chromecast", "Chromecast-Ultra", "Google-TV-{room}"], "android",
     ["clients3.google.com", "tools.l.google.com"], 0.0, 5),
    ("Amazon Echo", r"^Amazon Technologies", ["echo-dot-{hex4}", "Echo-Show", "amazon-{hex4}{hex4}", None], "lwip",
     ["avs-alexa-na.amazon.com", "device-metrics-us.amazon.com"], 0.0, 8),
    ("Google Home", r"^Google, Inc", ["Google-Home-Mini", "Google-Nest-Mini", "Nest-Audio", "Google-Nest-Hub"], "udhcpc",
     ["clients3.google.com"], 0.0, 7),
    ("Sonos Speaker", r"^Sonos, Inc", ["SonosZP", "Sonos-{hex6}", None], "udhcpc", ["msmetrics.ws.sonos.com", "update.sonos.com"], 0.0, 7),
    ("PlayStation", r"^Sony Interactive", ["PS5-{n}", "PS4-{n}", None], "unknown", ["auth.np.ac.playstation.net", "update.playstation.net"], 0.0, 5),
    ("Xbox", r"^Microsoft Corporation", ["XboxOne", "XBOX-{win}"], "win10", ["xboxlive.com", "title.mgt.xboxlive.com", "www.msftconnecttest.com"], 0.0, 4),
    ("Nintendo Switch", r"^Nintendo Co", [None, None, "Nintendo-Switch"], "unknown", ["ctest.cdn.nintendo.net", "conntest.nintendowifi.net"], 0.0, 5),
    ("TP-Link Kasa Smart Plug", r"^TP-LINK TECHNOLOGIES", ["HS103", "KP115", "HS100"], "udhcpc", ["n-devs.tplinkcloud.com", "use1-api.tplinkcloud.com"], 0.0, 8),
    ("Shelly Smart Relay", r"^Espressif", ["shelly1-{hex6}", "shellyplug-s-{hex6}", "shellyplus1pm-{hex6}"], "lwip", ["iot.shelly.cloud"], 0.0, 7),
    ("Tuya Smart Plug", r"^Espressif|^Tuya Smart", [None, "ESP_{hex6}"], "lwip", ["a1.tuyaus.com", "m1.tuyaeu.com"], 0.0, 7),
    ("Tasmota Smart Plug", r"^Espressif", ["tasmota-{hex6}-{n}"], "lwip", ["pool.ntp.org"], 0.0, 4),
    ("Philips Hue Bridge", r"^Philips Lighting|^Signify", ["Philips-hue", None], "udhcpc", ["ws.meethue.com", "diag.meethue.com"], 0.0, 4),
    ("Wyze Camera", r"^Wyze Labs", ["WYZEC3", "WYZE_CAKP2JFUS", None], "udhcpc", ["api.wyzecam.com", "wyze-device-alarm.wyzecam.com"], 0.0, 5),
    ("Hikvision Camera", r"Hikvision Digital", ["DS-2CD2143G2", "hikvision-cam", None], "udhcpc", ["dev.hik-connect.com"], 0.0, 5),
    ("Ring Doorbell", r"^Ring LLC", ["RingDoorbell-{n}", "RingStickUpCam-{n}", None], "udhcpc", ["fw.ring.com", "es.ring.com"], 0.0, 5),
    ("Nest Camera", r"^Nest Labs|^Google, Inc", ["Nest-Cam-{room}", "nestcam"], "udhcpc", ["nexus.dropcam.com", "oculus.dropcam.com"], 0.0, 4),
    ("Brother Printer", r"^Brother [Ii]ndustries", ["BRW{mac12}", "BRN{mac12}"], "unknown", [], 0.0, 5),
    ("Epson Printer", r"^Seiko Epson", ["EPSON{hex6}", None], "unknown", ["m.epsonconnect.com"], 0.0, 5),
    ("Network Printer", r"^HP Inc|^Hewlett Packard", ["NPI{hex6}", "HP-LaserJet-MFP", "OfficeJet-Pro-9010"], "unknown", ["h10141.www1.hpeprint.com"], 0.0, 6),
    ("Synology NAS", r"^Synology", ["DiskStation", "DS920plus", "synology-{n}"], "linux", ["checkip.synology.com", "update7.synology.com"], 0.0, 6),
    ("QNAP NAS", r"^QNAP Systems", ["NAS{hex6}", "QNAP-TS-453"], "linux", ["update.qnap.com", "myqnapcloud.com"], 0.0, 4),
    ("UniFi Access Point", r"^Ubiquiti", ["U6-Lite", "UAP-AC-Pro", "U6-LR"], "udhcpc", ["trace.svc.ui.com", "fw-update.ui.com"], 0.0, 6),
    ("UniFi Switch", r"^Ubiquiti", ["USW-Lite-8-PoE", "USW-24-PoE"], "udhcpc", ["trace.svc.ui.com"], 0.0, 4),
    ("VMware Virtual Machine", r"^VMware", ["vm-{n}", "ubuntu-vm"], "linux", ["ntp.ubuntu.com"], 0.0, 4),
    ("ecobee Thermostat", r"^ecobee", ["ecobee-{room}", None], "lwip", ["home.ecobee.com"], 0.0, 3),
    ("Home Assistant", r"^Raspberry Pi|^Intel Corporate", ["homeassistant"], "linux", ["version.home-assistant.io", "alerts.home-assistant.io"], 0.0, 3),
    # No profile fits these: any label is wrong.
    ("-", r"^Espressif", ["ESP_{hex6}", None, "espressif"], "lwip", ["pool.ntp.org"], 0.0, 8),
    ("-", r"^LG Electronics$|^LG ELECTRONICS INC", ["LG-Washer", None], "udhcpc", ["eic.lgthinq.com"], 0.0, 4),
    ("-", r"^Samsung Electronics Co.,Ltd", ["Samsung-Fridge", None], "udhcpc", ["api.samsungiotcloud.com"], 0.0, 3),
    ("-", r"^Hon Hai|^AzureWave|^Murata", [None, "device-{hex4}"], "unknown", GENERIC_DNS, 0.0, 6),
    ("-", r"^Apple, Inc", ["Apple-Watch"], "ios", ["captive.apple.com"], 0.0, 3),
    ("-", None, [None, "client-{hex4}"], "unknown", GENERIC_DNS, 1.0, 6),
    ("-", r"^Amazon Technologies", ["kindle-{hex4}", None], "android", ["device-metrics-us.amazon.com"], 0.0, 3),
]

HEADER_DNSMASQ = "<30>Dec  8 05:00:00 gw dnsmasq-dhcp[812]: "
HEADER_DNSMASQ_DNS = "<30>Dec  8 05:00:00 gw dnsmasq[812]: "
HEADER_ISC = "<30>Dec  8 05:00:00 gw dhcpd[991]: "
HEADER_BIND = "<30>Dec  8 05:00:00 gw named[330]: "
OPTION_NAMES = {1: "netmask", 2: "time-offset", 3: "router", 6: "dns-server", 12: "hostname", 15: "domain-name",
                17: "root-path", 26: "mtu", 28: "broadcast", 33: "static-route", 42: "ntp-server", 43: "vendor-encap",
                44: "netbios-ns", 46: "netbios-nodetype", 47: "netbios-scope", 51: "lease-time", 54: "server-identifier",
                58: "T1", 59: "T2", 95: "", 108: "", 114: "", 119: "domain-search", 121: "classless-static-route",
                249: "", 252: ""}


def log_dhcp_exchange(xid, mac, ip, host, options, vclass):
    """dnsmasq with log-dhcp: DISCOVER/OFFER then REQUEST/ACK, one xid."""
    opts = [int(o) for o in options.split(",")]
    chunks = []
    for i in range(0, len(opts), 4):
        part = []
        for k, o in enumerate(opts[i:i + 4]):
            name = OPTION_NAMES.get(o, "")
            part.append(f"{o}:{name}" if name else str(o))
        last = i + 4 >= len(opts)
        chunks.append(", ".join(part) + ("" if last else ", "))
    lines = [f"{xid} available DHCP range: 192.168.1.50 -- 192.168.1.250"]
    if vclass:
        lines.append(f"{xid} vendor class: {vclass}")
    if host:
        lines.append(f"{xid} client provides name: {host}")
    lines += [f"{xid} DHCPDISCOVER(br0) {mac} ", f"{xid} tags: br0", f"{xid} DHCPOFFER(br0) {ip} {mac} "]
    lines += [f"{xid} requested options: {c}" for c in chunks]
    lines += [f"{xid} next server: 192.168.1.1", f"{xid} sent size:  1 option: 53 message-type  2"]
    if vclass:
        lines.append(f"{xid} vendor class: {vclass}")
    if host:
        lines.append(f"{xid} client provides name: {host}")
    lines += [f"{xid} DHCPREQUEST(br0) {ip} {mac} "]
    lines += [f"{xid} requested options: {c}" for c in chunks]
    lines += [f"{xid} DHCPACK(br0) {ip} {mac} {host or ''}".rstrip()]
    return [HEADER_DNSMASQ + l for l in lines]


def main():
    devices = []
    streams = []  # per device: list of lines
    ip_n = 50
    for expected, vendor, hosts, os_name, domains, rand_share, count in KINDS:
        for _ in range(count):
            ip_n += 1
            ip = f"192.168.{1 + ip_n // 250}.{ip_n % 250 + 1}"
            randomised = vendor is None or rng.random() < rand_share
            mac = random_mac() if randomised else mac_from(oui_of(vendor))
            template = rng.choice(hosts)
            host = fill(template, mac) if template else None
            lists, vclass = OS[os_name]
            options = rng.choice(lists)
            if vclass:
                vclass = vclass.replace("{n}", str(rng.randrange(10, 14)))
            syntax = rng.choice(["log-dhcp", "log-dhcp", "dnsmasq", "isc"])
            lines = []
            if syntax == "log-dhcp":
                lines += log_dhcp_exchange(rng.randrange(10**8, 4 * 10**9), mac, ip, host, options, vclass)
            elif syntax == "dnsmasq":
                lines += [HEADER_DNSMASQ + f"DHCPDISCOVER(br0) {mac}", HEADER_DNSMASQ + f"DHCPOFFER(br0) {ip} {mac}",
                          HEADER_DNSMASQ + f"DHCPREQUEST(br0) {ip} {mac}",
                          HEADER_DNSMASQ + f"DHCPACK(br0) {ip} {mac} {host or ''}".rstrip()]
            else:
                h = f" ({host})" if host else ""
                lines += [HEADER_ISC + f"DHCPDISCOVER from {mac} via eth0",
                          HEADER_ISC + f"DHCPOFFER on {ip} to {mac}{h} via eth0",
                          HEADER_ISC + f"DHCPREQUEST for {ip} (192.168.1.1) from {mac}{h} via eth0",
                          HEADER_ISC + f"DHCPACK on {ip} to {mac}{h} via eth0"]
            queried = list(domains)
            rng.shuffle(queried)
            queried = queried[:rng.randrange(0, len(queried) + 1)] + rng.sample(GENERIC_DNS, 2)
            for name in queried:
                for _ in range(rng.randrange(1, 4)):  # repeated queries
                    if syntax == "isc":
                        lines.append(HEADER_BIND + f"client @0x7f4c2 {ip}#{rng.randrange(1024, 65535)} ({name}): "
                                     f"query: {name} IN A +E(0)K (192.168.1.1)")
                    else:
                        lines.append(HEADER_DNSMASQ_DNS + f"query[A] {name} from {ip}")
            # The resolver's own lookups, without a client address.
            lines.append(HEADER_DNSMASQ_DNS + f"reply {rng.choice(GENERIC_DNS)} is 203.0.113.{rng.randrange(1, 250)}")
            devices.append((expected, mac.upper(), host or "-"))
            streams.append(lines)
    # Interleave three exchanges at a time, line by line, as a busy server does.
    order = list(range(len(streams)))
    rng.shuffle(order)
    out = ["# generated by tests/identity/make_population.py; do not edit"]
    out += [f"D {e}\t{m}\t{h}" for e, m, h in devices]
    for g in range(0, len(order), 3):
        group = [list(streams[i]) for i in order[g:g + 3]]
        while any(group):
            for s in group:
                if s:
                    out.append("L " + s.pop(0))
    text = "\n".join(out) + "\n"
    if "--stdout" in sys.argv:
        sys.stdout.write(text)
    else:
        OUT.write_text(text)
        print(f"{OUT}: {len(devices)} devices, {len(out) - len(devices) - 1} lines")


if __name__ == "__main__":
    main()
