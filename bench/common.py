"""Timing, tables and target checks shared by the benchmark scenarios."""

import statistics
import time
import timeit


def per_op_ns(variants, rounds=7, min_time=0.05, setup_globals=None):
    """Cost per operation, in nanoseconds, of each variant: its fastest round.

    `variants` maps a label to a statement string (run with
    `setup_globals`). The rounds interleave the variants, so that a drift of
    the machine's speed hits them all alike; the cost of the timing loop
    itself (an empty statement) is measured the same way and subtracted.
    Each variant keeps its fastest round, as timeit advises: on a machine
    shared with other work, slower rounds measure the other work, and a
    median of them no longer compares two variants.
    """
    labels = list(variants)
    timers = {label: timeit.Timer(variants[label], globals=setup_globals) for label in labels}
    timers["<loop>"] = timeit.Timer("pass")
    numbers = {}
    for label, timer in timers.items():
        number, _ = timer.autorange()
        while True:
            elapsed = timer.timeit(number)
            if elapsed >= min_time:
                break
            number *= 2
        numbers[label] = number
    samples = {label: [] for label in timers}
    for _ in range(rounds):
        for label, timer in timers.items():
            samples[label].append(timer.timeit(numbers[label]) / numbers[label] * 1e9)
    loop = min(samples.pop("<loop>"))
    return {label: min(samples[label]) - loop for label in labels}


def median_seconds(fn, repeat):
    """Median wall time of `repeat` calls of `fn`, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


class Table:
    """One scenario's results: printed, and kept for the Markdown file."""

    def __init__(self, title, columns, note=""):
        self.title = title
        self.columns = columns
        self.rows = []
        self.note = note

    def add(self, *cells):
        self.rows.append([_cell(c) for c in cells])

    def markdown(self):
        lines = [f"### {self.title}", ""]
        if self.note:
            lines += [self.note, ""]
        lines.append("| " + " | ".join(self.columns) + " |")
        lines.append("|" + "|".join("---" if i == 0 else "---:" for i in range(len(self.columns))) + "|")
        for row in self.rows:
            lines.append("| " + " | ".join(row) + " |")
        return "\n".join(lines) + "\n"

    def text(self):
        widths = [max(len(str(c)) for c in col) for col in zip(self.columns, *self.rows)]
        out = [f"== {self.title}"]
        if self.note:
            out.append(self.note)
        fmt = lambda cells: "  ".join(
            c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
        )
        out.append(fmt(self.columns))
        out.append("  ".join("-" * w for w in widths))
        out += [fmt(r) for r in self.rows]
        return "\n".join(out) + "\n"


def _cell(value):
    if isinstance(value, float):
        if value == 0:
            return "0"
        if abs(value) >= 100:
            return f"{value:.0f}"
        if abs(value) >= 10:
            return f"{value:.1f}"
        return f"{value:.2f}"
    return str(value)


class Target:
    """A performance target: a measured ratio (or amount) against its limit."""

    def __init__(self, name, value, limit, kind="max", unit="x"):
        self.name, self.value, self.limit, self.kind, self.unit = name, value, limit, kind, unit

    @property
    def holds(self):
        return self.value <= self.limit if self.kind == "max" else self.value >= self.limit

    def row(self):
        sign = "<=" if self.kind == "max" else ">="
        return [self.name, f"{self.value:.3g}{self.unit}", f"{sign} {self.limit:g}{self.unit}",
                "holds" if self.holds else "DOES NOT HOLD"]
