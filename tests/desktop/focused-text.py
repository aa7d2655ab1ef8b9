#!/usr/bin/python3
# Prints the text of the editable field that has the keyboard focus in an
# application on the accessibility bus (nothing when there is none).
#   focused-text.py APPLICATION_NAME
import sys

import pyatspi


def find(node, depth):
    if node is None or depth > 25:
        return None
    try:
        states = node.getState()
        if states.contains(pyatspi.STATE_FOCUSED) and states.contains(pyatspi.STATE_EDITABLE):
            return node
        for child in node:
            found = find(child, depth + 1)
            if found is not None:
                return found
    except Exception:
        return None
    return None


for app in pyatspi.Registry.getDesktop(0):
    if app is not None and app.name == sys.argv[1]:
        field = find(app, 0)
        if field is not None:
            text = field.queryText()
            sys.stdout.write(text.getText(0, text.characterCount))
        break
