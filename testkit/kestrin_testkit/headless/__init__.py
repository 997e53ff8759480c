"""The windowless instrument, kestrin-headless, as the kit brings it up.

Runs in the kit's process (the test's): the program is started from here in a private folder of
its own (program.py) and its panel worked through one conversation of the kit's own (panel.py).
"""
