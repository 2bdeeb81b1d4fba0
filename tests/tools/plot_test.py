#!/usr/bin/env python3
"""plot_test.py PLOT SAMPLE: scripts/plot draws what a run's records hold.

SAMPLE is the record of a short group run: three machines, machines 1 and 2
with clock offsets and drifts, jitter on the links from machine 0, and the
link 0>2 late and losing a quarter of its packets. It was made with

  scripts/group up 3 --pong-args 0 --json --pong-args 1 --json --pong-args 2 --json \\
      --norvd-args 1 "--clock-offset -2000000000 --clock-drift -5" \\
      --norvd-args 2 "--clock-offset 700000000 --clock-drift 4.5" \\
      --link "0-1 delay=1ms jitter=500us" --link "0>2 delay=4ms jitter=1ms loss=25%"
  scripts/group run 0 timeout --preserve-status -s INT 8 \\
      env --default-signal=INT NORVping -b 10.77.0.255 > ping.out

and cut down to what plot reads: each norvd log's clock line, netsim's lines
of the pings (UDP port 16006). The run predates norvd's peer exchanges: each
norvd log's common clock line (machine 1's common clock 1.5 ms behind the
host's, drifting +30 ppm, machine 2's 2.3 ms ahead, drifting -20 ppm) and
its exchange lines (one a second with each peer, over the run's time, a few
lost on the link 0>2) were added by hand, each interval made of round trips
as the links above would give and holding the true offset.

For each case (the whole run, a machine without its clock line, a run without
NORVping's output, a machine whose every lateness is not available, an
estimate of 0, a run without exchange lines, an interval that misses the true
offset, a run without NORVpong's records, with or without exchange lines), on
a copy of SAMPLE: the figures are valid SVG and PNG files; per machine (per
machine and peer for the offsets), the estimates with a bound, the true
delays, the link transits, the verdicts, the histogram's bars, the exchanges,
the true offsets and the intervals that miss them are as many as the records
hold, counted here on the records themselves, both in the lines plot prints
and in what gnuplot drew into the SVG, and the panels' titles name the
machines and what they hold. Skips when gnuplot is not installed.
"""

import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zlib

SKIP = 77
SVG = "{http://www.w3.org/2000/svg}"
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    return ok


def lines_of(path):
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def expected(run):
    """What the records of `run` hold, per machine."""
    want = {}
    clocks = {m for m in range(5) if any(l.startswith("<6>norvd: clock: base")
                                         for l in lines_of("%s/norvd-%d.log" % (run, m)))}
    for m in range(5):
        recs = [json.loads(l) for l in lines_of("%s/pong-%d.log" % (run, m)) if l.startswith("{")]
        if not recs:
            continue
        bounded = sum(1 for r in recs if r["error_ns"] is not None)
        true = sum(1 for r in recs if r["sender"] in clocks and m in clocks)
        transits = sum(1 for l in lines_of(run + "/netsim.log")
                       if " to=%d " % m in l and " fate=sent " in l and " dport=16006 " in l)
        senders = sorted({r["sender"] for r in recs})
        want[m] = {"answered": len(recs), "bounded": bounded, "true": true, "transits": transits,
                   "senders": senders}
    verdicts = {}  # machine -> list of lateness in us (receipt - deadline), None when not available
    machine = status = None
    for l in lines_of(run + "/ping.out"):
        if (g := re.match(r"Timely reception on machine (\d)$", l)):
            machine, status = int(g.group(1)), "timely"
        elif (g := re.match(r"Timing failure on the reception \(machine (\d)\)$", l)):
            machine, status = int(g.group(1)), "late"
        elif (g := re.match(r"lateness degree=(-?\d+)$", l)) and machine is not None:
            v = int(g.group(1))
            verdicts.setdefault(machine, []).append(v if status == "late" else -v)
            machine = None
        elif l == "Lateness degree not available" and machine is not None:
            verdicts.setdefault(machine, []).append(None)
            machine = None
    return want, verdicts, exchanges_in(run)


def exchanges_in(run):
    """Per (measuring machine, peer): its exchanges, those with the true
    offset (both machines' common clock lines) and those whose interval
    misses it, the peer's shift minus the measurer's at the exchange's base
    time, a shift being offset + round((base - origin) * drift * 1e-6)."""
    common, lines = {}, {}
    for i in range(5):
        lines[i] = lines_of("%s/norvd-%d.log" % (run, i))
        for l in lines[i]:
            if (g := re.match(r"<6>norvd: common clock: base \S+, offset (-?\d+) ns, drift (\S+) ppm, "
                              r"origin (\d+) ns$", l)):
                common[i] = (int(g.group(1)), float(g.group(2)), int(g.group(3)))

    def shift(i, base):
        offset, ppm, origin = common[i]
        v = (base - origin) * ppm * 1e-6
        return offset + int(math.copysign(math.floor(abs(v) + 0.5), v))

    pairs = {}
    for i in range(5):
        for l in lines[i]:
            g = re.match(r"<7>norvd: machine (\d): clock offset between (-?\d+) and (-?\d+) ns at base (\d+) ns, "
                         r"round trip \d+ ns$", l)
            if not g:
                continue
            m, low, high, base = (int(v) for v in g.groups())
            p = pairs.setdefault((i, m), {"exchanges": 0, "true": 0, "outside": 0})
            p["exchanges"] += 1
            if i in common and m in common:
                p["true"] += 1
                true = shift(m, base) - shift(i, base)
                p["outside"] += not low <= true <= high
    return pairs


def svg_panels(path):
    """The plot groups of each panel of a gnuplot multiplot SVG, in order:
    panel letter -> [group element, ...]."""
    root = ET.parse(path).getroot()
    check(root.tag == SVG + "svg", "%s: the root element is %s, not svg" % (path, root.tag))
    panels = {}
    for g in root.iter(SVG + "g"):
        m = re.match(r"gnuplot_plot_(\d+)([a-z])$", g.get("id") or "")
        if m:
            panels.setdefault(m.group(2), []).append(g)
    return [panels[k] for k in sorted(panels)]


def svg_texts(path):
    """The text of each text element of an SVG: the titles, labels and keys."""
    return ["".join(t.itertext()) for t in ET.parse(path).getroot().iter(SVG + "text")]


def markers(group):
    """Points drawn in a plot group: distinct marker positions, less the key's."""
    at = {u.get("transform", "").split(" ")[0] for u in group.iter(SVG + "use")}
    return max(0, len(at) - 1)


def bars(group):
    """Boxes drawn in a plot group, less the key's sample."""
    return max(0, len(list(group.iter(SVG + "polygon"))) - 1)


def check_png(path):
    """A PNG whose chunks all have their CRC, IHDR first and IEND last, and
    whose image data inflates to exactly its rows."""
    data = open(path, "rb").read()
    if not check(data[:8] == b"\x89PNG\r\n\x1a\n", path + ": no PNG signature"):
        return
    pos, chunks, idat = 8, [], b""
    while pos + 12 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        check(zlib.crc32(kind + body) == crc, "%s: chunk %s has a wrong CRC" % (path, kind))
        chunks.append((kind, body))
        if kind == b"IDAT":
            idat += body
        pos += 12 + length
    if not check(chunks and chunks[0][0] == b"IHDR" and chunks[-1][0] == b"IEND" and pos == len(data),
                 path + ": not IHDR ... IEND"):
        return
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    if interlace == 0:
        row = 1 + math.ceil(width * channels * depth / 8)
        check(len(zlib.decompress(idat)) == row * height,
              "%s: image data is not %d rows of %d bytes" % (path, height, row))


def run_case(name, plot, run, out, fmt, want, verdicts, offsets, st_want):
    done = subprocess.run([plot, "--format", fmt, run, out], capture_output=True, text=True)
    said = done.stdout
    print("--- %s (%s): status %d\n%s%s" % (name, fmt, done.returncode, said, done.stderr), end="")
    if not check(done.returncode == st_want, "%s: status %d, not %d" % (name, done.returncode, st_want)):
        return
    if st_want != 0:
        for figure in ("delays", "offsets"):
            check(not os.path.exists(os.path.join(out, figure + "." + fmt)), name + ": a figure of nothing")
        return

    check_offsets(name, out, fmt, said, offsets)
    delays = os.path.join(out, "delays." + fmt)
    panels, texts = [], []
    if not want:
        # Exchanges without pings: their figure alone.
        check(not os.path.exists(delays), name + ": a delays figure without pings")
    elif fmt == "svg":
        panels, texts = svg_panels(delays), svg_texts(delays)
    else:
        check_png(delays)
    for i, (m, w) in enumerate(sorted(want.items())):
        line = ("delays: machine %d: %d answered, %d estimates with a bound (0 outside it), %d without, "
                "%d true delays, %d link transits" % (m, w["answered"], w["bounded"], w["answered"] - w["bounded"],
                                                      w["true"], w["transits"]))
        check(line in said.splitlines(), "%s: plot did not say: %s" % (name, line))
        if fmt == "svg" and check(i < len(panels), "%s: no delay panel for machine %d" % (name, m)):
            # The series of a panel, in order, leaving out those with nothing to draw.
            series = [n for n in (w["bounded"], w["true"], w["transits"]) if n]
            drawn = [markers(g) for g in panels[i]]
            check(drawn == series, "%s: machine %d: drawn %s points, the records hold %s" % (name, m, drawn, series))
            # The title names who sent the pings and who answered them.
            title = "machine%s %s sent, machine %d answered: %d ping%s, %d with a bound%s" % (
                "s" if len(w["senders"]) > 1 else "", " and ".join(map(str, w["senders"])), m, w["answered"],
                "" if w["answered"] == 1 else "s", w["bounded"], ", 0 outside it" if w["true"] else "")
            check(title in texts, "%s: no panel titled %r" % (name, title))
    if fmt == "svg":
        check(len(panels) == len(want), "%s: %d delay panels for %d machines" % (name, len(panels), len(want)))

    lateness = os.path.join(out, "lateness." + fmt)
    if not verdicts:
        check(not os.path.exists(lateness), name + ": a lateness figure without verdicts")
        return
    if not check(os.path.exists(lateness), name + ": no lateness figure"):
        return
    width = re.search(r"in \d+ bars of (\d+) us", said)
    if not check(width is not None, name + ": plot did not say its bin width"):
        return
    width = int(width.group(1))
    panels = svg_panels(lateness) if fmt == "svg" else check_png(lateness) or []
    for i, (m, vs) in enumerate(sorted(verdicts.items())):
        known = [v for v in vs if v is not None]
        bins = {math.ceil(v / width) - 1 for v in known}
        line = ("lateness: machine %d: %d verdicts, %d timely, %d late, %d not available, in %d bars of %d us"
                % (m, len(vs), sum(v <= 0 for v in known), sum(v > 0 for v in known), len(vs) - len(known),
                   len(bins), width))
        check(line in said.splitlines(), "%s: plot did not say: %s" % (name, line))
        if fmt == "svg" and check(i < len(panels), "%s: no lateness panel for machine %d" % (name, m)):
            drawn = sum(bars(g) for g in panels[i])
            check(drawn == len(bins), "%s: machine %d: %d bars drawn, %d bins hold verdicts" % (name, m, drawn, len(bins)))


def check_offsets(name, out, fmt, said, offsets):
    """The offsets figure and plot's lines about it hold, per measuring
    machine and peer, the exchanges, true offsets and misses of offsets."""
    path = os.path.join(out, "offsets." + fmt)
    if not offsets:
        check(not os.path.exists(path), name + ": an offsets figure without exchanges")
        check(any(l.startswith("offsets: no exchange line in ") for l in said.splitlines()),
              name + ": plot did not say why there is no offsets figure")
        return
    if not check(os.path.exists(path), name + ": no offsets figure"):
        return
    panels = svg_panels(path) if fmt == "svg" else check_png(path) or []
    texts = svg_texts(path) if fmt == "svg" else []
    for k, ((i, m), p) in enumerate(sorted(offsets.items())):
        line = ("offsets: machine %d, peer %d: %d exchanges, %d true offsets (%d outside the interval)"
                % (i, m, p["exchanges"], p["true"], p["outside"]))
        check(line in said.splitlines(), "%s: plot did not say: %s" % (name, line))
        if fmt == "svg" and check(k < len(panels), "%s: no offsets panel for machine %d, peer %d" % (name, i, m)):
            series = [p["exchanges"]] + ([p["true"]] if p["true"] else [])
            drawn = [markers(g) for g in panels[k]]
            check(drawn == series, "%s: machine %d, peer %d: drawn %s points, the records hold %s"
                  % (name, i, m, drawn, series))
            title = "machine %d measures machine %d: %d exchange%s" % (
                i, m, p["exchanges"], "" if p["exchanges"] == 1 else "s")
            if p["true"]:
                title += (", true offset inside every interval" if p["outside"] == 0 else
                          ", true offset outside %d of them" % p["outside"])
            check(title in texts, "%s: no panel titled %r" % (name, title))
    if fmt == "svg":
        check(len(panels) == len(offsets), "%s: %d offsets panels for %d pairs" % (name, len(panels), len(offsets)))


def rewrite(path, change):
    """Writes the lines of path through change(lines)."""
    kept = change(lines_of(path))
    with open(path, "w") as f:
        f.write("".join(l + "\n" for l in kept))


def no_lateness_on_2(lines):
    """NORVping's output with machine 2's lateness not available."""
    out, on2 = [], False
    for l in lines:
        if l.startswith("lateness degree=") and on2:
            l = "Lateness degree not available"
        on2 = l.endswith("machine 2") or l.endswith("(machine 2)")
        out.append(l)
    return out


def zero_estimate(lines):
    """NORVpong's records with ping 3's estimate 0 and its bound (still
    holding the true delay, 1.86 ms) reaching from -1.9 ms to 1.9 ms."""
    recs = [json.loads(l) if l.startswith("{") else l for l in lines]
    for r in recs:
        if isinstance(r, dict) and r["registration"] == 3:
            r["estimate_ns"], r["error_ns"] = 0, 1900000
    return [json.dumps(r) if isinstance(r, dict) else r for r in recs]


def without_exchanges(run):
    """Drops every exchange line from the norvd logs of run."""
    for i in range(3):
        rewrite("%s/norvd-%d.log" % (run, i), lambda ls: [l for l in ls if not l.startswith("<7>")])


def missed_interval(lines):
    """norvd-1.log with its third exchange's interval moved 10 ms above the
    true offset."""
    out, n = [], 0
    for l in lines:
        g = re.match(r"(.* between )(-?\d+) and (-?\d+)( ns at base .*)$", l)
        if g and (n := n + 1) == 3:
            l = "%s%d and %d%s" % (g.group(1), int(g.group(2)) + 10000000, int(g.group(3)) + 10000000, g.group(4))
        out.append(l)
    return out


def without_pongs(run):
    for m in range(3):
        rewrite("%s/pong-%d.log" % (run, m), lambda ls: ls[:1])


def main():
    plot, sample = sys.argv[1], sys.argv[2]
    if shutil.which("gnuplot") is None:
        print("SKIP: gnuplot is not installed (scripts/install-deps gnuplot-nox)")
        return SKIP
    cases = [
        # name, what is done to the copy of SAMPLE, plot's status
        ("the whole run", lambda run: None, 0),
        ("machine 2 without its clock line", lambda run: os.remove(run + "/norvd-2.log"), 0),
        ("without NORVping's output", lambda run: os.remove(run + "/ping.out"), 0),
        # As when machine 2's receipts never reach machine 0: an empty panel.
        ("machine 2's lateness not available", lambda run: rewrite(run + "/ping.out", no_lateness_on_2), 0),
        # Below the delays' logarithmic axis: drawn at its low edge, not dropped.
        ("an estimate of 0, its bound reaching below 0", lambda run: rewrite(run + "/pong-0.log", zero_estimate), 0),
        ("without exchange lines", without_exchanges, 0),
        ("an interval that misses the true offset", lambda run: rewrite(run + "/norvd-1.log", missed_interval), 0),
        # The exchanges alone are drawn; with nothing at all, no figure.
        ("without NORVpong's records", without_pongs, 0),
        ("without NORVpong's records or exchange lines", lambda run: [without_pongs(run), without_exchanges(run)], 1),
    ]
    with tempfile.TemporaryDirectory() as scratch:
        for n, (name, prepare, status) in enumerate(cases):
            run = os.path.join(scratch, "run%d" % n)
            shutil.copytree(sample, run)
            prepare(run)
            want, verdicts, offsets = expected(run)
            if status == 0:
                check((want or offsets) and all(w["answered"] for w in want.values()),
                      name + ": the sample holds no record")
            for fmt in ("svg", "png"):
                run_case(name, plot, run, os.path.join(scratch, "out%d-%s" % (n, fmt)), fmt, want, verdicts,
                         offsets, status)
    for f in failures:
        print("FAIL: " + f)
    print("%d checks failed" % len(failures) if failures else "the figures hold what the records hold")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
