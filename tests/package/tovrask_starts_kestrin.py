"""Run by run_e2e.py --script on the programs of the unpacked package: tovrask, asked to connect
while no instrument runs, starts the kestrin beside it (not one on PATH), which answers as an
instrument that is switched off."""

import os

import desktop

TURN_ON_FIRST = "Error.  Please turn the Kestrin On before establishing a DDE connection."

tovrask = desktop.Program("tovrask")
desktop.press(desktop.find(tovrask.window("Tovrask"), "push button", "Connect"))
_box, text = desktop.message_box(tovrask.application())
assert text == TURN_ON_FIRST, f"tovrask said {text!r}"

started = os.path.realpath(f"/proc/{desktop.StartedProgram('kestrin').pid}/exe")
beside = os.path.realpath(os.path.join(desktop.PROGRAM_DIR, "kestrin"))
assert started == beside, f"tovrask started {started}, not {beside}"
print(f"tovrask started {started}")
