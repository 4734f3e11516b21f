#!/usr/bin/env python3
"""Writes docs/performance.md and its SVG plots from the figures scripts/perf-report collected.

    report.py RESULTS_DIR DOCS_DIR

RESULTS_DIR holds the JSON files of one run (see scripts/perf-report); nothing but the standard
library is used, and the plots are plain SVG written here.
"""
import glob
import json
import math
import os
import sys


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def esc(s):
    return str(s).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


COLORS = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b"]


def nice_ticks(lo, hi, log):
    if log:
        ticks = []
        e = math.floor(math.log10(lo))
        while 10 ** e <= hi * 1.0001:
            for m in (1, 2, 5):
                v = m * 10 ** e
                if lo * 0.999 <= v <= hi * 1.001:
                    ticks.append(v)
            e += 1
        return ticks
    span = hi - lo or 1
    step = 10 ** math.floor(math.log10(span / 5))
    for m in (1, 2, 5, 10):
        if span / (step * m) <= 6:
            step *= m
            break
    t = math.floor(lo / step) * step
    ticks = []
    while t <= hi + step * 0.001:
        ticks.append(round(t, 10))
        t += step
    return ticks


def fmt(v):
    if v >= 1000 and float(v).is_integer():
        return f"{int(v):,}"
    if v >= 100:
        return f"{v:.0f}"
    if v >= 1:
        return f"{v:g}"
    return f"{v:.3g}"


def line_plot(path, title, xlabel, ylabel, series, logx=False, logy=False):
    """series: list of (name, [(x, y), ...], dashed)."""
    W, H, L, R, T, B = 640, 400, 80, 180, 40, 60
    xs = [x for _, pts, _ in series for x, _ in pts]
    ys = [y for _, pts, _ in series for _, y in pts if y > 0 or not logy]
    if not xs or not ys:
        return
    xlo, xhi = min(xs), max(xs)
    ylo, yhi = (min(ys), max(ys))
    if logy:
        ylo, yhi = 10 ** math.floor(math.log10(ylo)), 10 ** math.ceil(math.log10(yhi))
    else:
        ylo = 0
        yhi = yhi * 1.1 or 1
    if logx:
        xlo, xhi = 10 ** math.floor(math.log10(xlo)), 10 ** math.ceil(math.log10(xhi))
    elif xlo == xhi:
        xlo, xhi = xlo - 1, xhi + 1

    def sx(x):
        if logx:
            return L + (math.log10(x) - math.log10(xlo)) / (math.log10(xhi) - math.log10(xlo)) * (W - L - R)
        return L + (x - xlo) / (xhi - xlo) * (W - L - R)

    def sy(y):
        if logy:
            y = max(y, ylo)
            return H - B - (math.log10(y) - math.log10(ylo)) / (math.log10(yhi) - math.log10(ylo)) * (H - T - B)
        return H - B - (y - ylo) / (yhi - ylo) * (H - T - B)

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{W}" height="{H}" '
           f'font-family="DejaVu Sans, sans-serif" font-size="12">',
           f'<rect width="{W}" height="{H}" fill="white"/>',
           f'<text x="{W / 2 - R / 2 + L / 2}" y="22" text-anchor="middle" font-size="14" '
           f'font-weight="bold">{esc(title)}</text>']
    for t in nice_ticks(ylo, yhi, logy):
        y = sy(t)
        out.append(f'<line x1="{L}" y1="{y:.1f}" x2="{W - R}" y2="{y:.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{L - 6}" y="{y + 4:.1f}" text-anchor="end">{fmt(t)}</text>')
    xticks = sorted(set(xs))
    if logx and len(xticks) > 8:
        xticks = [t for t in nice_ticks(xlo, xhi, True) if str(t)[0] == "1"]
    for t in xticks:
        x = sx(t)
        out.append(f'<line x1="{x:.1f}" y1="{T}" x2="{x:.1f}" y2="{H - B}" stroke="#eee"/>')
        out.append(f'<text x="{x:.1f}" y="{H - B + 16}" text-anchor="middle">{fmt(t)}</text>')
    out.append(f'<rect x="{L}" y="{T}" width="{W - L - R}" height="{H - T - B}" fill="none" stroke="#444"/>')
    out.append(f'<text x="{(L + W - R) / 2}" y="{H - 18}" text-anchor="middle">{esc(xlabel)}</text>')
    out.append(f'<text x="18" y="{(T + H - B) / 2}" text-anchor="middle" '
               f'transform="rotate(-90 18 {(T + H - B) / 2})">{esc(ylabel)}</text>')
    for i, (name, pts, dashed) in enumerate(series):
        c = COLORS[i % len(COLORS)]
        pts = sorted(p for p in pts if (p[1] > 0 or not logy))
        if not pts:
            continue
        d = " ".join(f"{sx(x):.1f},{sy(y):.1f}" for x, y in pts)
        dash = ' stroke-dasharray="6,4"' if dashed else ""
        out.append(f'<polyline points="{d}" fill="none" stroke="{c}" stroke-width="2"{dash}/>')
        for x, y in pts:
            out.append(f'<circle cx="{sx(x):.1f}" cy="{sy(y):.1f}" r="3" fill="{c}"/>')
        ly = T + 14 + i * 18
        out.append(f'<line x1="{W - R + 10}" y1="{ly - 4}" x2="{W - R + 34}" y2="{ly - 4}" '
                   f'stroke="{c}" stroke-width="2"{dash}/>')
        out.append(f'<text x="{W - R + 40}" y="{ly}">{esc(name)}</text>')
    out.append("</svg>")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


def bar_plot(path, title, rows):
    """rows: list of (label, module_ms, raw_ms). Horizontal bars on a log scale."""
    W, L, R, T = 700, 230, 120, 40
    H = T + 40 * len(rows) + 50
    vals = [v for _, a, b in rows for v in (a, b) if v > 0]
    lo, hi = 10 ** math.floor(math.log10(min(vals))), 10 ** math.ceil(math.log10(max(vals)))

    def sx(v):
        return L + (math.log10(max(v, lo)) - math.log10(lo)) / (math.log10(hi) - math.log10(lo)) * (W - L - R)

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{W}" height="{H}" '
           f'font-family="DejaVu Sans, sans-serif" font-size="12">',
           f'<rect width="{W}" height="{H}" fill="white"/>',
           f'<text x="{W / 2}" y="22" text-anchor="middle" font-size="14" font-weight="bold">{esc(title)}</text>']
    for t in nice_ticks(lo, hi, True):
        if str(t)[0] != "1":
            continue
        x = sx(t)
        out.append(f'<line x1="{x:.1f}" y1="{T}" x2="{x:.1f}" y2="{H - 40}" stroke="#ddd"/>')
        out.append(f'<text x="{x:.1f}" y="{H - 24}" text-anchor="middle">{fmt(t)} ms</text>')
    for i, (label, a, b) in enumerate(rows):
        y = T + 10 + i * 40
        out.append(f'<text x="{L - 8}" y="{y + 14}" text-anchor="end">{esc(label)}</text>')
        out.append(f'<rect x="{L}" y="{y}" width="{sx(a) - L:.1f}" height="14" fill="{COLORS[0]}"/>')
        out.append(f'<rect x="{L}" y="{y + 16}" width="{sx(b) - L:.1f}" height="10" fill="{COLORS[2]}"/>')
        ratio = a / b if b > 0 else float("nan")
        out.append(f'<text x="{max(sx(a), sx(b)) + 6:.1f}" y="{y + 18}">× {ratio:.1f}</text>')
    out.append(f'<rect x="{L}" y="{H - 16}" width="12" height="10" fill="{COLORS[0]}"/>'
               f'<text x="{L + 16}" y="{H - 7}">through the module and the server</text>'
               f'<rect x="{L + 250}" y="{H - 16}" width="12" height="10" fill="{COLORS[2]}"/>'
               f'<text x="{L + 266}" y="{H - 7}">the database alone (SQLite C API)</text>')
    out.append("</svg>")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


def med(j, key):
    return j.get(key, {}).get("median_ms", 0.0)


def p90(j, key):
    return j.get(key, {}).get("p90_ms", 0.0)


def main():
    res, docs = sys.argv[1], sys.argv[2]
    plots = os.path.join(docs, "performance")
    os.makedirs(plots, exist_ok=True)
    meta = load(os.path.join(res, "meta.json"))
    main_ = load(os.path.join(res, "perf_main.json"))

    act = sorted((load(p) for p in glob.glob(os.path.join(res, "activation_docs_*.json"))),
                 key=lambda j: j["documents"])
    edi = sorted((load(p) for p in glob.glob(os.path.join(res, "editor_stock_*.json"))),
                 key=lambda j: j["stock_rows_ck"])
    loads = [load(p) for p in glob.glob(os.path.join(res, "load_*_c[0-9]*.json"))]
    contention = [load(p) for p in glob.glob(os.path.join(res, "load_*_contention.json"))]
    sb = {}
    if os.path.exists(os.path.join(res, "server_bench.json")):
        for b in load(os.path.join(res, "server_bench.json")).get("benchmarks", []):
            if b.get("aggregate_name", "median") == "median":
                sb[b["run_name"] if "run_name" in b else b["name"]] = b

    if act:
        line_plot(os.path.join(plots, "activation_by_documents.svg"),
                  "Browser activation (showdll to first document)", "documents in the database",
                  "ms", [("median", [(j["documents"], med(j, "activation")) for j in act], False),
                         ("p90", [(j["documents"], p90(j, "activation")) for j in act], True),
                         ("SQLite: first packet",
                          [(j["documents"], med(j, "raw_first_packet")) for j in act], True)],
                  logx=True, logy=True)
    if edi:
        line_plot(os.path.join(plots, "editor_by_stock_rows.svg"),
                  "Audit editor activation", "stock rows \"CK\"", "ms",
                  [("editor (median)", [(j["stock_rows_ck"], med(j, "editor")) for j in edi], False),
                   ("SQLite alone (SELECT)",
                    [(j["stock_rows_ck"], med(j, "raw_stock_list")) for j in edi], True)],
                  logx=True, logy=True)
    backends = sorted({j["backend"] for j in loads})
    if loads:
        series_t, series_l = [], []
        for be in backends:
            js = sorted((j for j in loads if j["backend"] == be), key=lambda j: j["clients"])
            series_t.append((f"{be}: operations/s", [(j["clients"], j["ops_per_s"]) for j in js], False))
            series_l.append((f"{be}: audit p50", [(j["clients"], j["audit"]["p50_ms"]) for j in js], False))
            series_l.append((f"{be}: audit p99", [(j["clients"], j["audit"]["p99_ms"]) for j in js], True))
            series_l.append((f"{be}: cancel p50", [(j["clients"], j["cancel"]["p50_ms"]) for j in js], False))
        line_plot(os.path.join(plots, "throughput_by_clients.svg"), "Throughput under load",
                  "concurrent operators", "operations per second", series_t, logx=True)
        line_plot(os.path.join(plots, "latency_by_clients.svg"), "Latency under load",
                  "concurrent operators", "ms", series_l, logx=True, logy=True)
    ratio_rows = [
        ("browser activation", med(main_, "activation"), med(main_, "raw_first_packet")),
        ("editor activation", med(main_, "editor"), med(main_, "raw_stock_list")),
        (f"stock batch ({main_.get('batch_statements', 0)} statements)",
         med(main_, "tranpara_batch"), med(main_, "raw_batch")),
    ]
    bar_plot(os.path.join(plots, "module_vs_database.svg"),
             "The module's work against the database alone (medians)", ratio_rows)

    L = []
    L.append("# Performance\n")
    L.append("Generated by `scripts/perf-report` (release build, large demo set). Every figure is "
             "a median of repeats unless it says p90/p99; the machine is the shared 2-core build "
             "machine, whose load average is given with the figures.\n")
    L.append(f"- run: {esc(meta.get('date', '?'))}, commit {meta.get('commit', '?')}, "
             f"{meta.get('cpu', '?')}, {meta.get('cores', '?')} cores")
    L.append(f"- load average at the start and end: {meta.get('load_start', '?')} / "
             f"{meta.get('load_end', '?')} (the 64-operator runs load the machine themselves; other "
             f"helpers' builds may have run too: each run's own load average is in its row)\n")
    L.append("## The module's operations\n")
    L.append(f"Headless windows in-process, real application server (SQLite) over loopback; "
             f"{main_['documents']:,} documents, {main_['stock_rows_ck']:,} stock rows \"CK\"; the "
             f"document worked on has {main_['lines']} lines.\n")
    L.append("| Operation | median | p90 | the database alone | ratio |")
    L.append("|---|---|---|---|---|")

    def row(label, key, raw_key=None, raw_label=""):
        m, p = med(main_, key), p90(main_, key)
        if raw_key:
            r = med(main_, raw_key)
            L.append(f"| {label} | {m:.2f} ms | {p:.2f} ms | {r:.2f} ms ({raw_label}) | {m / r:.1f} |")
        else:
            L.append(f"| {label} | {m:.2f} ms | {p:.2f} ms | | |")

    row("browser activation: `showdll` to the first document shown", "activation",
        "raw_first_packet", "first packet: 11 headers and their lines")
    row(f"editor activation ({main_['stock_rows_ck']:,} stock rows)", "editor", "raw_stock_list",
        "SELECT of the CK rows")
    row(f"audit of a {main_['lines']}-line document: click to list reloaded", "audit")
    row(f"save of a {main_['lines']}-line document (\"保存\" to list reloaded)", "save")
    row(f"cancel of a {main_['lines']}-line document (\"取消审核\" to list reloaded)", "cancel")
    row(f"unit switch on a {main_['lines']}-line document", "unit_switch")
    row(f"stock batch of the save: TranPara + apply, {main_.get('batch_statements', 0)} statements",
        "tranpara_batch", "raw_batch", "the same UPDATEs, one transaction")
    tb = med(main_, "tranpara_batch")
    rb = med(main_, "raw_batch")
    n = main_.get("batch_statements", 0)
    if tb > 0 and rb > 0:
        L.append("")
        L.append(f"Statement throughput of the stock batch: {n / tb * 1000:,.0f} statements/s "
                 f"through the server (wire, recogniser, prepared statements, commit) against "
                 f"{n / rb * 1000:,.0f} statements/s through the SQLite C API.\n")
    if sb:
        L.append("In-process server benchmarks (`server_bench`, no network):\n")
        L.append("| Benchmark | real time | CPU time |")
        L.append("|---|---|---|")
        for name, b in sorted(sb.items()):
            L.append(f"| `{name}` | {b['real_time']:.3g} {b['time_unit']} | "
                     f"{b['cpu_time']:.3g} {b['time_unit']} |")
        L.append("")
    L.append("![module against the database](performance/module_vs_database.svg)\n")
    if act:
        L.append("## Browser activation against the number of documents\n")
        L.append("| documents | median | p90 | SQLite alone (first packet) |")
        L.append("|---|---|---|---|")
        for j in act:
            L.append(f"| {j['documents']:,} | {med(j, 'activation'):.2f} ms | "
                     f"{p90(j, 'activation'):.2f} ms | {med(j, 'raw_first_packet'):.3f} ms |")
        L.append("\n![activation](performance/activation_by_documents.svg)\n")
    if edi:
        L.append("## Editor activation against the number of stock rows\n")
        L.append("| stock rows \"CK\" | editor activation | p90 | SQLite alone (SELECT) | ratio |")
        L.append("|---|---|---|---|---|")
        for j in edi:
            m, r = med(j, "editor"), med(j, "raw_stock_list")
            L.append(f"| {j['stock_rows_ck']:,} | {m:.1f} ms | {p90(j, 'editor'):.1f} ms | "
                     f"{r:.1f} ms | {m / r if r else 0:.1f} |")
        L.append("\n![editor](performance/editor_by_stock_rows.svg)\n")
    if loads:
        L.append("## Concurrent operators\n")
        L.append("`qmdw_loadgen run`: N operator processes, each the module in-process (headless) "
                 "going through the browser, the audit date dialog and the editor, audit and cancel "
                 "random documents among the newest ones; throughput counts every operation. "
                 "Audit = from the \"审核\" click until the browser's list is reloaded (editor "
                 "activation with every stock row included); save = the \"保存\" click; cancel = the "
                 "\"取消审核\" click until the list is reloaded.\n")
        L.append("| backend | operators | hot documents | operations/s | audit p50 / p99 | "
                 "save p50 / p99 | cancel p50 / p99 | violations | load average |")
        L.append("|---|---|---|---|---|---|---|---|---|")
        for j in sorted(loads + contention, key=lambda j: (j["backend"], j["hot_documents"] < 50, j["clients"])):
            la = j.get("load_average", ["?", "?"])
            L.append(f"| {j['backend']} | {j['clients']} | {j['hot_documents']} | {j['ops_per_s']:.2f} | "
                     f"{j['audit']['p50_ms']:.0f} / {j['audit']['p99_ms']:.0f} ms | "
                     f"{j['save']['p50_ms']:.1f} / {j['save']['p99_ms']:.1f} ms | "
                     f"{j['cancel']['p50_ms']:.1f} / {j['cancel']['p99_ms']:.1f} ms | "
                     f"{len(j['violations'])} | {la[0]} → {la[1]} |")
        L.append("")
        L.append("Outcomes (what the operators saw):\n")
        for j in sorted(loads + contention, key=lambda j: (j["backend"], j["hot_documents"] < 50, j["clients"])):
            L.append(f"- {j['backend']}, {j['clients']} operators, {j['hot_documents']} documents: "
                     + ", ".join(f"{k} {v}" for k, v in sorted(j["outcomes"].items())))
            for m, n in sorted(j.get("messages", {}).items(), key=lambda kv: -kv[1]):
                L.append(f"  - {n} × {esc(m)}")
        L.append("\n![throughput](performance/throughput_by_clients.svg)\n")
        L.append("![latency](performance/latency_by_clients.svg)\n")
    # The link simulator's section (bench/link/report.py) stays as it was until a run replaces it.
    path = os.path.join(docs, "performance.md")
    old = open(path, encoding="utf-8").read() if os.path.exists(path) else ""
    begin, end = old.find("<!-- links -->"), old.find("<!-- /links -->")
    if 0 <= begin < end:
        L.append(old[begin:end + len("<!-- /links -->")] + "\n")
    L.append("## Reading the figures\n")
    L.append(meta.get("notes", ""))
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(L).rstrip() + "\n")


if __name__ == "__main__":
    main()
