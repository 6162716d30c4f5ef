#!/usr/bin/python3
"""Baseline for bench/observe_bench: reads, with python3-pyatspi (Debian's AT-SPI client), the
attributes one "app.observe" reads of each element of one window, in the same order: a
depth-first pre-order walk from the window with the same element and depth budgets, then the
window's menu bar when the walk did not reach it.

Per element: role, name, states (for the enabled flag and the password check), description,
accessible id, the value (text of text roles, current value of value roles), the extents on
screen, the action names and the children.

Prints one JSON object: {"runs": [milliseconds, ...], "nodes": elements read per run}.
Usage: pyatspi_baseline.py --pid PID [--title TITLE] [--max-nodes N] [--max-depth D] [--runs R]
"""

import argparse
import json
import time

import pyatspi

TEXT_ROLES = {pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY, pyatspi.ROLE_LABEL, pyatspi.ROLE_STATIC,
              pyatspi.ROLE_CAPTION, pyatspi.ROLE_TERMINAL, pyatspi.ROLE_EDITBAR,
              pyatspi.ROLE_ACCELERATOR_LABEL}
VALUE_ROLES = {pyatspi.ROLE_SLIDER, pyatspi.ROLE_SPIN_BUTTON, pyatspi.ROLE_PROGRESS_BAR,
               pyatspi.ROLE_LEVEL_BAR, pyatspi.ROLE_SCROLL_BAR, pyatspi.ROLE_DIAL}


def read_element(element):
    """Reads what the bridge reads of one element; returns its children."""
    role = element.getRole()
    element.name
    states = element.getState()
    states.contains(pyatspi.STATE_ENABLED)
    element.description
    element.accessibleId
    interfaces = element.get_interfaces()
    if role in TEXT_ROLES and "Text" in interfaces:
        element.queryText().getText(0, -1)
    elif role in VALUE_ROLES and "Value" in interfaces:
        element.queryValue().currentValue
    if "Component" in interfaces:
        element.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    if "Action" in interfaces:
        action = element.queryAction()
        [action.getName(i) for i in range(action.nActions)]
    return list(element)


def walk(root, max_nodes, max_depth):
    count = 0
    seen = set()

    def visit(element, depth):
        nonlocal count
        if count >= max_nodes or depth > max_depth:
            return
        key = element.path
        if key in seen:
            return
        seen.add(key)
        count += 1
        for child in read_element(element):
            visit(child, depth + 1)

    visit(root, 0)
    return count


def find_application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is not None and app.get_process_id() == pid:
            return app
    raise SystemExit("no accessible application with process id %d" % pid)


def find_window(app, title):
    for window in app:
        if title is None or window.name == title:
            return window
    raise SystemExit("no window titled %r" % title)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--title")
    parser.add_argument("--max-nodes", type=int, default=500)
    parser.add_argument("--max-depth", type=int, default=12)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    # libatspi keeps what it has read; clearing it before each run makes every run read afresh,
    # as every observation does.
    runs = []
    nodes = 0
    for _ in range(args.runs):
        pyatspi.Registry.clearCache() if hasattr(pyatspi.Registry, "clearCache") else None
        app = find_application(args.pid)
        app.clear_cache()
        start = time.perf_counter()
        window = find_window(app, args.title)
        nodes = walk(window, args.max_nodes, args.max_depth)
        runs.append((time.perf_counter() - start) * 1000.0)
    print(json.dumps({"runs": runs, "nodes": nodes}))


if __name__ == "__main__":
    main()
