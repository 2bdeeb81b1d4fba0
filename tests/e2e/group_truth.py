#!/usr/bin/env python3
"""group_truth.py: checks the delay bounds and the verdicts of a group run
against what really happened.

Reads a group's state folder (scripts/group): every norvd-I.log, whose first
line maps that machine's service clock to the base clock they all share on
this host; every pong-I.log written by NORVpong --json; netsim.log, with the
base-clock times at which each packet reached its machine; and, with --ping,
NORVping's output. Then:

- bounds: for every answered ping with a known bound, the true delay is its
  receipt stamp minus its start stamp, both turned into base time through
  their machines' clock lines; the bound must hold it:
  |estimate - true| <= error + 1000 (1 us for whole-nanosecond truncations).
  A receipt stamp must also not be older than the ping's arrival on the
  machine (netsim's base0_ns).
- verdicts: each verdict NORVping printed is compared with the truth: no
  receipt reached the registering norvd by the deadline + grace (lost, never
  received, or its peer message lost or later) -> "not available"; else timely
  exactly when the receipt (base time) is at or before the deadline (the
  start stamp in base time + the registration's relative deadline), and the
  printed lateness (a timely one negated, as time to spare) within 2 us of the
  true one. A receipt within 1 us of the deadline, or a peer message that
  netsim was handing over at the moment of deadline + grace, may go either way.

Prints a summary, the confusion table of verdicts against the truth, every
ping or verdict found untrue, and a last line of counts
("counts: key=value ...", the table's cells as tt, tl, tn, lt, ..., un: what
NORVping said, timely, late or unknown, then the truth, timely, late or none
reached). Exits 1 when a checked claim fails (unless it is
only reported) or when the records do not fit together.
"""

import argparse
import json
import math
import os
import re
import sys
from fractions import Fraction

I64_MAX = 2**63 - 1
I64_MIN = -(2**63)
U64 = 2**64
GRACE_NS = 100_000_000
BOUND_SLACK_NS = 1000     # whole-nanosecond truncations of estimate and bound
EDGE_NS = 1000            # a receipt this close to the deadline may go either way
LATENESS_SLACK_NS = 2000  # printed in whole microseconds, rounded
ROUNDING_NS = 2           # a stamp turned into base time by norvd and here, each rounding once

# What norvd says of a verdict on another machine's receipt by the clocks.
CLOCKS_UNDECIDABLE = re.compile(
    r"registration (\d+): machine (\d)'s verdict is undecidable by the clocks: (?:lateness between (-?\d+) and "
    r"(-?\d+) ns, clock offset between -?\d+ and -?\d+ ns|its clock offset is not known yet)$")
CLOCKS_DECIDED = re.compile(
    r"registration (\d+): machine (\d)'s lateness between (-?\d+) and (-?\d+) ns by the clocks, "
    r"clock offset between -?\d+ and -?\d+ ns$")


def sat(v):
    return max(I64_MIN, min(I64_MAX, v))


def from_unsigned(v):
    return I64_MAX if v > I64_MAX else v


def llround(x):
    """C's llround of a double, with norvd's clamps: halves away from zero."""
    if x >= 9.2e18:
        return I64_MAX
    if x <= -9.2e18:
        return I64_MIN
    f = Fraction(x)
    n = math.floor(abs(f) + Fraction(1, 2))
    return n if f >= 0 else -n


class ServiceClock:
    """One machine's service clock, from norvd's line
    "clock: base NAME, offset O ns, drift D ppm, origin T ns"."""

    LINE = re.compile(r"^<6>norvd: clock: base (\S+), offset (-?\d+) ns, drift (\S+) ppm, origin (\d+) ns$")

    def __init__(self, line):
        m = self.LINE.match(line)
        if not m:
            raise ValueError("not a clock line: %r" % line)
        self.base_name = m.group(1)
        self.offset = int(m.group(2))
        self.ppm = float(m.group(3))
        self.origin = int(m.group(4))
        self.drift = self.ppm * 1e-6  # the same double norvd multiplies by

    def service(self, base):
        t = from_unsigned(base)
        since = sat(t - from_unsigned(self.origin))
        drift = llround(float(since) * self.drift)
        return max(0, sat(sat(t + self.offset) + drift))

    def base(self, stamp):
        """The base time b with service(b) <= stamp < service(b + 1)."""
        guess = self.origin + int((stamp - self.offset - self.origin) / (1.0 + self.drift))
        while self.service(guess) > stamp:
            guess -= 1
        while self.service(guess + 1) <= stamp:
            guess += 1
        return guess


class CommonClock(ServiceClock):
    """One machine's common clock, from norvd's line "common clock: base NAME,
    offset O ns, drift D ppm, origin T ns": a test option moves the common
    clock this machine reads by shift(B) from the one of the host, which all
    the machines of a group on this host share, with the arithmetic of the
    service clock."""

    LINE = re.compile(r"^<6>norvd: common clock: base (\S+), offset (-?\d+) ns, drift (\S+) ppm, origin (\d+) ns$")
    # The distance norvd keeps between the host's common clock and the base
    # clock: measured at start, taken again only when the clock steps.
    DIFFERENCE = re.compile(r"^<6>norvd: common clock: CLOCK_REALTIME minus \S+ taken as (-?\d+) ns$")

    def __init__(self, line):
        super().__init__(line)
        self.difference = 0
        self.differences = 0  # how many difference lines: more than one is a step

    def shift(self, base):
        """How far this machine's common clock is ahead of the host's at base
        time base: the offset and the drift since the origin."""
        return self.service(base) - base

    def common(self, base):
        """This norvd's common time at base time base, less the host's
        distance between the two clocks, which is the same for all."""
        return self.shift(base) + self.difference


class Exchange:
    """One exchange of norvd's debug line "machine M: clock offset between L
    and H ns at base B ns, round trip R ns": the peer's common clock minus this
    machine's lies in [low, high] at base time base."""

    LINE = re.compile(r"^<7>norvd: machine (\d+): clock offset between (-?\d+) and (-?\d+) ns "
                      r"at base (\d+) ns, round trip (\d+) ns$")

    def __init__(self, match):
        self.peer = int(match.group(1))
        self.low = int(match.group(2))
        self.high = int(match.group(3))
        self.base = int(match.group(4))
        self.round_trip = int(match.group(5))


def read_exchanges(folder, machines):
    """The common clock lines and the exchanges of the norvd logs in folder:
    ({machine: CommonClock}, {(measuring machine, peer): [Exchange, ...] in
    the order logged})."""
    common, exchanges = {}, {}
    for i in range(machines):
        for line in read_lines(os.path.join(folder, "norvd-%d.log" % i)):
            m = Exchange.LINE.match(line)
            if m:
                ex = Exchange(m)
                exchanges.setdefault((i, ex.peer), []).append(ex)
            elif i not in common and CommonClock.LINE.match(line):
                common[i] = CommonClock(line)
            elif i in common and (d := CommonClock.DIFFERENCE.match(line)):
                common[i].differences += 1
                common[i].difference = int(d.group(1))
    return common, exchanges


def true_offset(common, measurer, peer, base):
    """The peer's common clock minus the measurer's at base time base (both
    read the same clock of the host, each moved by its own shift), or None
    without both machines' common clock lines."""
    if measurer not in common or peer not in common:
        return None
    return common[peer].common(base) - common[measurer].common(base)


def le(hexstr, off, size):
    return int.from_bytes(bytes.fromhex(hexstr[2 * off:2 * (off + size)]), "little")


def fields(line):
    return dict(kv.split("=", 1) for kv in line.split() if "=" in kv)


def read_lines(path):
    try:
        with open(path, errors="replace") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


class Run:
    def __init__(self, folder, machines):
        self.problems = []
        self.clocks = {}
        self.registrations = {}  # id -> (start stamp, relative deadline)
        self.reached_log = {}     # (id, machine) -> base time norvd logged it here
        # (id, machine) -> (undecidable by the clocks, (low, high) lateness in ns or None)
        self.clock_verdicts = {}
        for i in range(machines):
            lines = read_lines(os.path.join(folder, "norvd-%d.log" % i))
            if not lines:
                self.problems.append("norvd-%d.log is empty or missing" % i)
                continue
            # The clock line comes first, unless norvd warned of something before it.
            first = next((l for l in lines if ServiceClock.LINE.match(l)), lines[0])
            try:
                self.clocks[i] = ServiceClock(first)
            except ValueError as e:
                self.problems.append("norvd-%d.log: no clock line: %s" % (i, e))
            for line in lines:
                m = re.search(r"registration (\d+): machines 0x[0-9a-f]+, deadline (\d+) ns after (\d+),", line)
                if m:
                    self.registrations[int(m.group(1))] = (int(m.group(3)), int(m.group(2)))
                    continue
                m = re.search(r"registration (\d+) received on machine (\d) at \d+, here at (\d+)", line)
                if m:
                    # The first: a copy that came later is no receipt.
                    self.reached_log.setdefault((int(m.group(1)), int(m.group(2))), int(m.group(3)))
                    continue
                m = CLOCKS_UNDECIDABLE.search(line) or CLOCKS_DECIDED.search(line)
                if m:
                    span = None if m.group(3) is None else (int(m.group(3)), int(m.group(4)))
                    self.clock_verdicts[(int(m.group(1)), int(m.group(2)))] = (m.re is CLOCKS_UNDECIDABLE, span)
        if self.clocks and len({c.base_name for c in self.clocks.values()}) != 1:
            self.problems.append("the machines name different base clocks")
        # The peer exchanges' lines: true_offset(run.common_clocks, I, M, base).
        self.common_clocks, self.exchanges = read_exchanges(folder, machines)

        # NORVpong's records: machine -> list, and (registration, machine) -> record.
        self.pongs = {}
        self.by_registration = {}
        for i in range(machines):
            recs = []
            for line in read_lines(os.path.join(folder, "pong-%d.log" % i)):
                if line.startswith("{"):
                    r = json.loads(line)
                    recs.append(r)
                    if r["registration"] != 0:
                        self.by_registration[(r["registration"], i)] = r
            self.pongs[i] = recs

        # netsim: pings that reached a machine, and receipts between norvds.
        self.ping_arrivals = {}  # (from, to, start stamp) -> base0
        self.ping_transits = {}  # (from, to, start stamp) -> netsim's transit_ns
        self.peer_messages = {}  # (registration, receiver, to) -> (fate, base0, base1)
        self.netsim_until = 0    # the last time netsim handed anything over
        for line in read_lines(os.path.join(folder, "netsim.log")):
            f = fields(line)
            if "base0_ns" not in f:
                continue
            self.netsim_until = max(self.netsim_until, int(f["base1_ns"]))
            head = f.get("head", "")
            if f["dport"] == "16006" and f["fate"] == "sent" and len(head) >= 40:
                start = (le(head, 4, 8) - le(head, 12, 8)) % U64
                self.ping_arrivals[(int(f["from"]), int(f["to"]), start)] = int(f["base0_ns"])
                self.ping_transits[(int(f["from"]), int(f["to"]), start)] = int(f["transit_ns"])
            elif (f["dport"] == "16007" and len(head) == 40 and head.startswith("4e525644") and
                  le(head, 5, 1) == 1):
                # Receipts (type 1; probes are 2): both versions hold the
                # sender at 6 and the registration at 8. Only a machine's own receipts count (not
                # one that claims another machine's name), and only the first
                # of a receipt: a copy played again is no receipt.
                if le(head, 6, 1) != int(f["from"]):
                    continue
                key = (le(head, 8, 4), le(head, 6, 1), int(f["to"]))
                self.peer_messages.setdefault(key, (f["fate"], int(f["base0_ns"]), int(f["base1_ns"])))

    def base_of(self, machine, stamp):
        return self.clocks[machine].base(stamp)


def check_bounds(run, out):
    bounded = outside = early = unpaired = 0
    errors = []
    shown = 0
    for m, recs in sorted(run.pongs.items()):
        for r in recs:
            sender = r["sender"]
            if m not in run.clocks or sender not in run.clocks:
                unpaired += 1
                continue
            start = run.base_of(sender, r["start_stamp"])
            receipt = run.base_of(m, r["receipt_stamp"])
            reg = r["registration"]
            if reg in run.registrations and run.registrations[reg][0] != r["start_stamp"]:
                run.problems.append("machine %d: ping %d has start stamp %d, registered with %d"
                                    % (m, reg, r["start_stamp"], run.registrations[reg][0]))
            if m != sender:
                arrival = run.ping_arrivals.get((sender, m, r["start_stamp"]))
                if arrival is None:
                    unpaired += 1
                elif receipt < arrival - 2:
                    early += 1
                    out.append("early stamp: machine %d stamped ping %d %d ns before it arrived"
                               % (m, reg, arrival - receipt))
            if r["error_ns"] is None:
                continue
            bounded += 1
            true = receipt - start
            est, err = r["estimate_ns"], r["error_ns"]
            errors.append(err)
            if abs(est - true) > err + BOUND_SLACK_NS:
                outside += 1
                if shown < 10:
                    shown += 1
                    out.append("outside: machine %d ping %d (answer %d): estimate %d +- %d ns, true %d ns, "
                               "short by %d ns" % (m, reg, r["answer"], est, err, true,
                                                   abs(est - true) - err))
    errors.sort()
    median = errors[len(errors) // 2] if errors else 0
    out.insert(0, "bounds: %d pings with a bound, %d outside; median bound %d us, widest %d us; "
               "%d receipt stamps older than their ping's arrival"
               % (bounded, outside, median // 1000, (errors[-1] if errors else 0) // 1000, early))
    if unpaired:
        run.problems.append("%d pings without their clock line or netsim packet" % unpaired)
    return {"bounded": bounded, "outside": outside, "early": early}


def parse_notices(path):
    """NORVping's notices: list of (registration, machine, status, lateness or None)."""
    verdicts, seq, machine, status = [], None, None, None
    for line in read_lines(path):
        m = re.match(r"^Message from: \d+, Seq: (\d+)$", line)
        if m:
            seq = int(m.group(1))
            continue
        m = re.match(r"^Timely reception on machine (\d+)$", line)
        if m:
            machine, status = int(m.group(1)), "timely"
            continue
        m = re.match(r"^Timing failure on the reception \(machine (\d+)\)$", line)
        if m:
            machine, status = int(m.group(1)), "late"
            continue
        m = re.match(r"^lateness degree=(-?\d+)$", line)
        if m and seq is not None and machine is not None:
            verdicts.append((seq, machine, status, int(m.group(1))))
            machine = None
            continue
        if line == "Lateness degree not available" and seq is not None and machine is not None:
            verdicts.append((seq, machine, "unknown" if status == "late" else "timely-unknown", None))
            machine = None
    return verdicts


def truth_of(run, reg, machine, registrar):
    """("none" | "timely" | "late", receipt - deadline in ns or None, and whether
    the receipt reached norvd just as the grace ended, so that "none" is as
    true as the other)."""
    start, relative = run.registrations[reg]
    deadline = run.base_of(registrar, start) + relative
    cutoff = deadline + GRACE_NS
    record = run.by_registration.get((reg, machine))
    at_cutoff = False
    if machine == registrar:
        here = run.reached_log.get((reg, machine))
        if record is not None and here is None:
            run.problems.append("registration %d: machine %d's receipt never reached its norvd's log"
                                % (reg, machine))
        reached = here is not None and here <= cutoff
        if here is not None and record is not None and here < run.base_of(machine, record["receipt_stamp"]):
            run.problems.append("registration %d: norvd logged the local receipt before its stamp" % reg)
    else:
        msg = run.peer_messages.get((reg, machine, registrar))
        # A receipt of the run's last moments may still have been on its way
        # when netsim stopped; one that netsim outlived by a second was never sent.
        if (record is not None and msg is None and
                run.netsim_until > run.base_of(machine, record["receipt_stamp"]) + 1_000_000_000):
            run.problems.append("registration %d: machine %d received it but no receipt went to machine %d"
                                % (reg, machine, registrar))
        if msg is None or msg[0] != "sent":
            reached = False
        else:
            _, base0, base1 = msg
            reached = base1 <= cutoff
            at_cutoff = base0 <= cutoff < base1
            here = run.reached_log.get((reg, machine))
            if here is not None and not (base0 - 1000 <= here <= base1 + 1000):
                run.problems.append("registration %d: norvd says machine %d's receipt arrived at %d, "
                                    "netsim handed it over between %d and %d" % (reg, machine, here, base0, base1))
    if not reached and not at_cutoff:
        return "none", None, False
    if record is None:
        run.problems.append("registration %d: a receipt from machine %d without NORVpong's record" % (reg, machine))
        return "none", None, True
    late = run.base_of(machine, record["receipt_stamp"]) - deadline
    return ("late" if late > 0 else "timely"), late, at_cutoff


def shifted(run, a, b):
    """Whether machine a's or b's common clock is shifted (a test option), so
    that a verdict of one on the other's receipt rests on the clocks."""
    return any(m not in run.common_clocks or run.common_clocks[m].offset or run.common_clocks[m].ppm
               for m in (a, b))


def check_exchanges(run, out):
    """Every exchange's interval holds the true offset of the two norvds'
    common clocks at its base time: no exception, no slack."""
    checked = outside = 0
    for (i, m), exchanges in sorted(run.exchanges.items()):
        clocks = [run.common_clocks.get(x) for x in (i, m)]
        if None in clocks or any(c.differences != 1 for c in clocks):
            run.problems.append("machine %d's exchanges with machine %d: a common clock line is missing, or the "
                                "clocks' difference was taken again (a step)" % (i, m))
            continue
        for ex in exchanges:
            checked += 1
            true = true_offset(run.common_clocks, i, m, ex.base)
            if not ex.low <= true <= ex.high:
                outside += 1
                if outside <= 10:
                    out.append("offset outside: machine %d measured machine %d's offset in [%d, %d] ns at base %d, "
                               "true %d ns" % (i, m, ex.low, ex.high, ex.base, true))
    out.append("clock offsets: %d exchanges, %d intervals without the true offset" % (checked, outside))
    return {"exchanges": checked, "offset_outside": outside}


def check_verdicts(run, ping_path, registrar, out):
    rows = ["timely", "late", "unknown"]
    cols = ["timely", "late", "none"]
    table = {(r, c): 0 for r in rows for c in cols}
    untrue = edges = judged = 0
    undecidable = told_untrue = wrongly = 0  # by the clocks: counted, untrue among them, counted wrongly
    shown = 0
    for reg, machine, status, printed in parse_notices(ping_path):
        if reg not in run.registrations:
            run.problems.append("a notice for registration %d, which norvd never logged" % reg)
            continue
        judged += 1
        truth, late, at_cutoff = truth_of(run, reg, machine, registrar)
        at_deadline = late is not None and abs(late) <= EDGE_NS
        # A timely verdict always knows its lateness.
        ok = status != "timely-unknown"
        verdict = "timely" if status == "timely-unknown" else status
        if verdict == "unknown":
            ok = ok and (truth == "none" or at_cutoff)
        elif truth == "none":
            ok = False
        else:
            # What norvd said of it by the clocks: an undecidable verdict may
            # be untrue, and says so; every other must be true. The lateness
            # interval must hold the truth, and an undecidable one 0.
            clocks_undecidable, span = run.clock_verdicts.get((reg, machine), (False, None))
            if clocks_undecidable:
                undecidable += 1
            if span is not None:
                low, high = span
                if not low - ROUNDING_NS <= late <= high + ROUNDING_NS:
                    ok = False
                if clocks_undecidable != (low <= 0 < high):
                    wrongly += 1
                    ok = False
            if verdict != truth and not at_deadline:
                if clocks_undecidable:
                    told_untrue += 1
                else:
                    ok = False
            # NORVping prints a timely verdict's lateness negated: time to spare.
            printed_late = -printed * 1000 if verdict == "timely" else printed * 1000
            if not shifted(run, registrar, machine):
                if abs(printed_late - late) > LATENESS_SLACK_NS:
                    ok = False
            elif span is not None:
                # Moved by the least that the offset demands: somewhere in the interval.
                if not span[0] - LATENESS_SLACK_NS <= printed_late <= span[1] + LATENESS_SLACK_NS:
                    ok = False
            elif machine != registrar and not clocks_undecidable:
                run.problems.append("registration %d: no line of what the clocks say of machine %d's verdict "
                                    "(norvd's --log-level debug)" % (reg, machine))
        if at_cutoff or at_deadline:
            edges += 1
        table[(verdict, truth)] += 1
        if not ok:
            untrue += 1
            if shown < 10:
                shown += 1
                out.append("untrue: registration %d machine %d: NORVping says %s%s; truth %s%s"
                           % (reg, machine, verdict, "" if printed is None else " (%d us)" % printed,
                              truth, "" if late is None else " (%+d ns from the deadline)" % late))
    out.append("verdicts: %d checked, %d untrue, %d at an edge (either way true); undecidable by the clocks %d "
               "(%d of them untrue), %d counted so wrongly" % (judged, untrue, edges, undecidable, told_untrue, wrongly))
    out.append("%-22s %12s %12s %14s" % ("NORVping says / truth", "timely", "late", "none reached"))
    for r in rows:
        out.append("%-22s %12d %12d %14d" % (r, table[(r, "timely")], table[(r, "late")], table[(r, "none")]))
    counts = {"verdicts": judged, "untrue": untrue, "undecidable": undecidable, "untrue_undecidable": told_untrue,
              "undecidable_wrongly": wrongly}
    # The table's cells for whoever adds up runs: said (t, l, u) then truth (t, l, n).
    for (r, c), v in table.items():
        counts[r[0] + c[0]] = v
    return counts


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--group", required=True, help="the group's state folder")
    ap.add_argument("--machines", type=int, required=True)
    ap.add_argument("--ping", help="NORVping's output: check its verdicts")
    ap.add_argument("--registrar", type=int, default=0, help="the machine NORVping ran on")
    ap.add_argument("--bounds", choices=["assert", "report"], default="assert")
    ap.add_argument("--verdicts", choices=["assert", "report"], default="assert")
    args = ap.parse_args()

    run = Run(args.group, args.machines)
    out = []
    counts = check_bounds(run, out)
    counts.update(check_exchanges(run, out))
    if args.ping:
        counts.update(check_verdicts(run, args.ping, args.registrar, out))
    for p in run.problems[:10]:
        out.append("problem: " + p)
    counts["problems"] = len(run.problems)
    print("\n".join(out))
    print("counts: " + " ".join("%s=%d" % kv for kv in counts.items()))
    failed = bool(run.problems)
    if args.bounds == "assert" and (counts["outside"] or counts["early"]):
        failed = True
    if counts["offset_outside"]:
        failed = True
    if args.ping and args.verdicts == "assert" and counts["untrue"]:
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
