#!/usr/bin/python3
# A GTK 4 window with one entry, for the third-party paste test: prints the
# entry's text when Return is pressed, then quits.
#   gtk4-entry.py TITLE
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import Gtk  # noqa: E402


def activate(app):
    window = Gtk.ApplicationWindow(application=app, title=sys.argv[1])
    entry = Gtk.Entry()

    def done(field):
        print(field.get_text(), flush=True)
        app.quit()

    entry.connect("activate", done)
    window.set_child(entry)
    window.present()
    entry.grab_focus()


app = Gtk.Application(application_id="org.dravelin.TestGtk4Entry")
app.connect("activate", activate)
app.run([])
