"""The fault layer: a stand-in for each of the instrument's channels that relays every byte to the
real one, unless a fault says otherwise.

Runs in the kit's process (the test's): the relaying loop in a thread of its own (layer.py), the
control socket's server in threads beside it (control.py). An Instrument owns one layer while it
is started (owner.py) and hands out a handle on each channel's faults (handle.py).

- parameters.py: the faults, their parameters and checks, and the command line's words for them;
- pipe.py: one way of one connection, where the line faults and the pacing act;
- sides.py: the ends of a connection, a socket or a terminal;
- channels.py: the channels and their stand-ins, each relayed connection a pair of pipes;
- layer.py: the loop that moves the bytes.
"""
