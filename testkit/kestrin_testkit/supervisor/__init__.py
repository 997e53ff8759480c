"""What runs in the window mode's supervisor process: the process that owns one instrument's
window and its private desktop (service.py, run as python3 -m kestrin_testkit.supervisor), the
desktop itself (desktop.py), the accessibility helpers (accessibility.py), the window's panel as a
person works it (window_panel.py) and the calls an owner makes on it (panel_driver.py).

The kit's process starts the supervisor and talks to it over a pipe; it imports from here only
what checks that the desktop's programs are installed (desktop.py), never the accessibility
library, which the supervisor's interpreter alone is sure to have. The end-to-end suites drive
windows with accessibility.py and window_panel.py from their own process.
"""
