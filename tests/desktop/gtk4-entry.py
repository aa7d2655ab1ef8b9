#!/usr/bin/python3
# A GTK 4 window with one entry, for the third-party paste test: prints the
# entry's text when Return is pressed, then quits. With --adwaita the window
# and field are libadwaita's (an application window holding an entry row).
#   gtk4-entry.py TITLE [--adwaita]
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import Gtk  # noqa: E402

adwaita = "--adwaita" in sys.argv[2:]
if adwaita:
    gi.require_version("Adw", "1")
    from gi.repository import Adw  # noqa: E402


def activate(app):
    def done(field):
        print(field.get_text(), flush=True)
        app.quit()

    if adwaita:
        window = Adw.ApplicationWindow(application=app, title=sys.argv[1])
        entry = Adw.EntryRow(title="Dictate here")
        entry.connect("entry-activated", done)
        entry.set_activates_default(False)
        box = Gtk.ListBox()
        box.append(entry)
        window.set_content(box)
    else:
        window = Gtk.ApplicationWindow(application=app, title=sys.argv[1])
        entry = Gtk.Entry()
        entry.connect("activate", done)
        window.set_child(entry)
    window.present()
    entry.grab_focus()


app_type = Adw.Application if adwaita else Gtk.Application
app = app_type(application_id="org.dravelin.TestGtk4Entry")
app.connect("activate", activate)
app.run([])
