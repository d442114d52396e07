"""Short reprs and notebook HTML of the results. Nothing here runs unless a result is shown."""
from __future__ import annotations

import html
import re
from typing import Any, Iterable, NamedTuple

FIRST_IDS = 5  # ids a repr shows
FIRST_IDS_HTML = 20  # ids the HTML shows
_COMBINED = re.compile(r"\((\d+) child(?:ren)?\)$")


class NodeRow(NamedTuple):
    """One node of a result's tree, in the order the tool prints it (root first)."""

    depth: int
    description: str
    function_name: str
    passing_count: int
    emptied: bool  # nothing passes it, though each of its children passes something


def node_rows(diagnostics: Iterable[Any]) -> list[NodeRow]:
    """The diagnostics (post-order, root last) as the tree's rows, root first. A combinator's
    description says how many children it has; diagnostics that do not make one tree that way are
    listed flat, in their own order."""
    diagnostics = list(diagnostics)
    stack: list[tuple[Any, list]] = []  # (diagnostic, children) of the subtrees read so far
    for d in diagnostics:
        match = _COMBINED.search(str(d.filter_description))
        k = int(match.group(1)) if match else 0
        if k > len(stack):
            stack = []
            break
        children = stack[len(stack) - k:] if k else []
        del stack[len(stack) - k:]
        stack.append((d, children))
    rows: list[NodeRow] = []

    def walk(node: tuple[Any, list], depth: int) -> None:
        d, children = node
        emptied = d.passing_count == 0 and all(c[0].passing_count > 0 for c in children)
        rows.append(NodeRow(depth, str(d.filter_description), str(d.function_name), int(d.passing_count), emptied))
        for child in children:
            walk(child, depth + 1)

    if len(stack) == 1 and diagnostics:
        walk(stack[0], 0)
        return rows
    return [NodeRow(0, str(d.filter_description), str(d.function_name), int(d.passing_count),
                    d.passing_count == 0) for d in diagnostics]


def _ids(ids: list, shown: int) -> str:
    text = ", ".join(repr(i) for i in ids[:shown])
    return text + (f", ... ({len(ids) - shown} more)" if len(ids) > shown else "")


def filtration_result_repr(self: Any) -> str:
    root = self.filter_diagnostics[-1].function_name if self.filter_diagnostics else "?"
    return (f"FiltrationResult({self.signal_count} of {self.total_pool_size} signals pass {root}: "
            f"[{_ids(list(self.passing_ids), FIRST_IDS)}]; {len(self.filter_diagnostics)} nodes)")


_STYLE = ("<style>.bc-table td,.bc-table th{padding:2px 8px;text-align:left}"
          ".bc-fail{color:#b00020;font-weight:bold}.bc-pass{color:#1b7f3b}.bc-skip{color:#777}</style>")


def diagnostics_html(diagnostics: Iterable[Any]) -> str:
    """The per-node table: passing count and node, indented by depth, the emptying node marked."""
    rows = node_rows(diagnostics)
    root_empty = bool(rows) and rows[0].passing_count == 0
    body = []
    for r in rows:
        mark = ""
        if r.emptied:
            mark = f' <span class="bc-fail">&larr; emptied {"the pool" if root_empty else "its branch"}</span>'
        body.append(f'<tr><td style="text-align:right">{r.passing_count}</td>'
                    f'<td style="padding-left:{8 + 16 * r.depth}px"><code>{html.escape(r.description)}</code>'
                    f"{mark}</td></tr>")
    return (f'<table class="bc-table"><thead><tr><th>passing</th><th>node</th></tr></thead>'
            f"<tbody>{''.join(body)}</tbody></table>")


def filtration_result_html(self: Any) -> str:
    root = self.filter_diagnostics[-1].function_name if self.filter_diagnostics else "?"
    ids = html.escape(_ids(list(self.passing_ids), FIRST_IDS_HTML))
    return (f"{_STYLE}<div><b>{self.signal_count} of {self.total_pool_size} signals pass "
            f"<code>{html.escape(str(root))}</code></b><br><small>{ids}</small>"
            f"{diagnostics_html(self.filter_diagnostics)}</div>")


def empty_filtration_html(self: Any) -> str:
    return (f"{_STYLE}<div><b>{html.escape(type(self).__name__)}: {html.escape(str(self))}</b>"
            f"{diagnostics_html(self.filter_diagnostics or [])}</div>")


def check_names(result: Any) -> list[str]:
    """Every check of the run, in the order the operators' results hold them."""
    names: dict[str, None] = {}
    for verdict in result.operator_results.values():
        names.update(dict.fromkeys(verdict.checks))
    return list(names)


def failures(result: Any) -> list[tuple[str, str, str]]:
    """(operator, check, details) of every failed check."""
    return [(name, check, str(outcome.details))
            for name, verdict in result.operator_results.items()
            for check, outcome in verdict.checks.items() if outcome.status == "fail"]


def evaluation_result_repr(self: Any) -> str:
    results = self.operator_results
    rejected = [name for name, v in results.items() if not v.accepted]
    text = f"FiltrationEvaluationResult({len(results) - len(rejected)} of {len(results)} operators accepted"
    if rejected:
        shown = ", ".join(rejected[:FIRST_IDS]) + (f", ... ({len(rejected) - FIRST_IDS} more)"
                                                   if len(rejected) > FIRST_IDS else "")
        text += f"; rejected: {shown}"
    return text + ")"


def evaluation_result_html(self: Any) -> str:
    checks = check_names(self)
    head = "".join(f"<th>{html.escape(c)}</th>" for c in ["operator", *checks, "accepted"])
    rows = []
    for name, verdict in self.operator_results.items():
        cells = [f"<td><code>{html.escape(str(name))}</code></td>"]
        for check in checks:
            outcome = verdict.checks.get(check)
            status = str(outcome.status) if outcome is not None else ""
            shown = "FAIL" if status == "fail" else status
            cells.append(f'<td class="bc-{html.escape(status)}" title="{html.escape(str(getattr(outcome, "details", "")))}">'
                         f"{html.escape(shown)}</td>")
        cells.append(f'<td class="{"bc-pass" if verdict.accepted else "bc-fail"}">'
                     f'{"yes" if verdict.accepted else "NO"}</td>')
        rows.append(f"<tr>{''.join(cells)}</tr>")
    accepted = sum(1 for v in self.operator_results.values() if v.accepted)
    failed = "".join(f"<li><code>{html.escape(str(op))}</code> / {html.escape(check)}: {html.escape(details)}</li>"
                     for op, check, details in failures(self))
    return (f"{_STYLE}<div><b>{accepted} of {len(self.operator_results)} operators accepted</b>"
            f'<table class="bc-table"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody></table>'
            + (f"<p><b>Failed checks</b></p><ul>{failed}</ul>" if failed else "") + "</div>")


def install(fe: Any) -> None:
    """Gives the result records of the module `fe` their short reprs and notebook HTML."""
    fe.FiltrationResult.__repr__ = filtration_result_repr
    fe.FiltrationResult._repr_html_ = filtration_result_html
    fe.FiltrationEvaluationResult.__repr__ = evaluation_result_repr
    fe.FiltrationEvaluationResult._repr_html_ = evaluation_result_html
    fe.EmptyFiltrationError._repr_html_ = empty_filtration_html
