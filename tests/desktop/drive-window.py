#!/usr/bin/python3
# Drives a running application's widgets over the accessibility bus, finding
# them by accessible name among those on screen. Waits (up to TIMEOUT seconds,
# 10 unless given) for the widget to show up; exits non-zero with a message
# when it does not.
#   drive-window.py APP press NAME [TIMEOUT]        press a button
#   drive-window.py APP text NAME                   print its text (a label: its description)
#   drive-window.py APP set-text NAME VALUE         replace a field's text
#   drive-window.py APP wait-text NAME TEXT [TIMEOUT]   until its text contains TEXT (any case)
#   drive-window.py APP wait-focus NAME [TIMEOUT]   until it has the keyboard focus
#   drive-window.py APP row LIST TEXT [TIMEOUT]     "X Y W H" of LIST's first row whose name contains TEXT
import sys
import time

import pyatspi


def application(name):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == name:
            return app
    return None


def find(node, name, depth=0):
    """The first widget called NAME on screen, depth first; hidden pages are passed over."""
    if node is None or depth > 40:
        return None
    try:
        if depth > 0 and not node.getState().contains(pyatspi.STATE_SHOWING):
            return None
        if node.name == name:
            return node
        for child in node:
            found = find(child, name, depth + 1)
            if found is not None:
                return found
    except Exception:  # a widget that went away while we looked
        return None
    return None


def text_of(node):
    try:
        text = node.queryText()
        return text.getText(0, text.characterCount)
    except NotImplementedError:
        return node.description or ""


def poll(what, timeout, probe):
    """Calls probe until it returns something other than None."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        try:
            result, last = probe()
        except Exception as error:  # the bus or the widget changing under us
            result, last = None, str(error)
        if result is not None:
            return result
        if time.monotonic() > deadline:
            sys.exit("%s (after %g s%s)" % (what, timeout, "; last seen: %r" % last if last is not None else ""))
        time.sleep(0.1)


def widget(app_name, name, timeout, usable=False):
    def probe():
        app = application(app_name)
        if app is None:
            return None, "no application %r on the accessibility bus" % app_name
        node = find(app, name)
        if node is None:
            return None, None
        if usable and not node.getState().contains(pyatspi.STATE_ENABLED):
            return None, "disabled"
        return node, None

    return poll("no widget %r on screen in %s" % (name, app_name), timeout, probe)


def main(argv):
    if len(argv) < 4:
        sys.exit(__doc__ or "usage: drive-window.py APP COMMAND NAME …")
    app_name, command, name = argv[1], argv[2], argv[3]
    rest = argv[4:]
    if command == "press":
        node = widget(app_name, name, float(rest[0]) if rest else 10, usable=True)
        action = node.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        if "Press" not in names:
            sys.exit("%r cannot be pressed (actions: %s)" % (name, names))
        action.doAction(names.index("Press"))
    elif command == "text":
        sys.stdout.write(text_of(widget(app_name, name, 10)) + "\n")
    elif command == "set-text":
        node = widget(app_name, name, 10, usable=True)
        if not node.queryEditableText().setTextContents(rest[0]):
            sys.exit("%r refused the text" % name)
    elif command == "wait-text":
        wanted = rest[0].lower()
        timeout = float(rest[1]) if len(rest) > 1 else 10

        def probe():
            node = widget(app_name, name, timeout)
            text = text_of(node)
            return (text if wanted in text.lower() else None), text

        sys.stdout.write(poll("%r never read %r" % (name, rest[0]), timeout, probe) + "\n")
    elif command == "wait-focus":
        timeout = float(rest[0]) if rest else 10

        def probe():
            focused = widget(app_name, name, timeout).getState().contains(pyatspi.STATE_FOCUSED)
            return (True if focused else None), "not focused"

        poll("%r never had the focus" % name, timeout, probe)
    elif command == "row":
        wanted = rest[0].lower()
        timeout = float(rest[1]) if len(rest) > 1 else 10

        def probe():
            rows = [row for row in widget(app_name, name, timeout) if row is not None]
            for row in rows:
                if wanted in row.name.lower():
                    box = row.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                    return "%d %d %d %d" % (box.x, box.y, box.width, box.height), None
            return None, [row.name for row in rows]

        sys.stdout.write(poll("no row of %r reads %r" % (name, rest[0]), timeout, probe) + "\n")
    else:
        sys.exit("unknown command %r" % command)


main(sys.argv)
