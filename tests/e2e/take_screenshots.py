"""Takes a picture of every window of the four programs (and of the demonstration DDE source)
into the folder given as the only argument. Run it through run_e2e.py, which provides the
display and the accessibility bus: scripts/screenshots.sh does that.

Each picture is taken once the window has finished painting: the window is captured until two
captures in a row are equal.
"""

import os
import shutil
import subprocess
import sys
import time

import desktop
from kestrin_window import KestrinWindow

OUTPUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(desktop.SCRATCH, "screenshots")
# The file dialogs show their folder and the files' dates: a fixed folder with fixed dates keeps
# the pictures the same from one run to the next.
DEMO_FOLDER = "/tmp/tarvolin-demo"
DEMO_DATE = time.mktime((1998, 6, 12, 9, 30, 0, 0, 0, -1))
DATA_FILES = {
    "calibration.txt": "0.5,0.5,0.5\n1.0,1.0,1.0\n",
    "run-0612.txt": "0.12,0.57,0.33\n0.18,0.61,0.29\n",
}


TITLE_BAR_COLOUR = "#4a6a8a"
TITLE_BAR_HEIGHT = 22
TITLE_FONT = "DejaVu-Sans-Bold"


def demo_folder(name):
    folder = os.path.join(DEMO_FOLDER, name)
    os.makedirs(folder, exist_ok=True)
    return folder


def pin_dates(folder):
    for entry in [folder] + [os.path.join(folder, name) for name in os.listdir(folder)]:
        os.utime(entry, (DEMO_DATE, DEMO_DATE))


def grab(x, y, width, height):
    return subprocess.run(["import", "-window", "root", "-crop", f"{width}x{height}+{x}+{y}", "-depth", "8",
                           "rgb:-"], capture_output=True, check=True, timeout=30).stdout


def capture(window, name):
    desktop.wait_until(lambda: desktop.is_showing(window), f"{window.name!r} to be shown")
    extents = desktop.fresh(window).queryComponent().getExtents(desktop.pyatspi.DESKTOP_COORDS)
    geometry = (extents.x, extents.y, extents.width, extents.height)
    previous = [None]

    def settled():
        pixels = grab(*geometry)
        stable = pixels == previous[0]
        previous[0] = pixels
        return pixels if stable else None
    pixels = desktop.wait_until(settled, f"{window.name!r} to finish painting")
    path = os.path.join(OUTPUT, name + ".png")
    # The virtual display has no window manager, so windows have no title bar: one is drawn above
    # the picture with the window's own title, as a desktop would show it.
    subprocess.run(["convert", "-size", f"{extents.width}x{extents.height}", "-depth", "8", "rgb:-",
                    "-background", TITLE_BAR_COLOUR, "-gravity", "north", "-splice", f"0x{TITLE_BAR_HEIGHT}",
                    "-font", TITLE_FONT, "-pointsize", "12", "-fill", "white",
                    "-annotate", "+0+5", desktop.fresh(window).name,
                    "-bordercolor", TITLE_BAR_COLOUR, "-border", "1", "-strip", path],
                   input=pixels, check=True, timeout=30)
    print(path)


def close_window(window, button):
    desktop.press(desktop.find(window, "push button", button))
    desktop.wait_until(lambda: not desktop.is_showing(window), f"{window.name!r} to close")


def instrument_pictures():
    data = demo_folder("data")
    for name, text in DATA_FILES.items():
        with open(os.path.join(data, name), "w", encoding="latin-1") as file:
            file.write(text)
    pin_dates(data)
    program = desktop.Program("kestrin", cwd=data)
    panel = KestrinWindow(program)
    application = program.application()
    capture(panel.window, "kestrin-main-off")

    for item, title, name in (("Transmission Formats ...", "Transmission Formats", "kestrin-transmission-formats"),
                              ("RS232 Port Settings ...", "Communication Settings", "kestrin-communication-settings"),
                              ("Network Settings ...", "Network Settings", "kestrin-network-settings")):
        dialog = panel.dialog(item, title)
        capture(dialog, name)
        close_window(dialog, "Cancel")

    desktop.click_menu(panel.window, "Help", "About the Tarvolin")
    box, _ = desktop.message_box(application)
    capture(box, "kestrin-about")
    desktop.dismiss(box)

    panel.switch_on()
    capture(panel.window, "kestrin-main-on")

    desktop.set_text(panel.box("Line Format"), "4")
    panel.press("Start")
    desktop.wait_until(lambda: "," in panel.box_text("Output"), "a data line of four values")
    # Two lines a second leave the window still for long enough to be captured between them.
    capture(panel.window, "kestrin-main-running")
    panel.press("Abort")
    panel.wait_state("Idle")

    panel.choose("From a file")
    panel.press("Choose data file")
    file_dialog = desktop.window_of(application, "Open Data File")
    desktop.set_text(desktop.find(file_dialog, "text", "File name:"), "calibration.txt")
    capture(file_dialog, "kestrin-open-data-file")
    close_window(desktop.window_of(application, "Open Data File"), "Cancel")
    panel.choose("Random")
    return program, panel


def tovrask_pictures(panel):
    tovrask = desktop.Program("tovrask")
    window = tovrask.window("Tovrask")
    capture(window, "tovrask")
    # Switched off, the instrument refuses the link: the message a user meets first.
    desktop.press(panel.on_off_button())
    panel.wait_state("Off")
    desktop.press(desktop.find(window, "push button", "Connect"))
    box, _ = desktop.message_box(tovrask.application())
    capture(box, "tovrask-turn-on-first")
    desktop.dismiss(box)

    panel.switch_on()
    desktop.set_text(panel.box("Line Format"), "3")
    desktop.press(desktop.find(window, "push button", "Connect"))
    output = desktop.find(window, "text", "Instrument output")
    desktop.wait_until(lambda: desktop.text_of(output) == "OK", "the link to show the instrument's output")
    field = desktop.find(desktop.find(window, "combo box"), "text")
    desktop.set_text(field, "Analyze")
    desktop.press(desktop.find(window, "push button", "Execute"))
    desktop.wait_until(lambda: desktop.text_of(output).count(",") == 2, "a data line in the linked box")
    # Pausing keeps the last data line in the instrument's output box, but the reply to PAUSE
    # replaces it in the linked box; the picture is taken while the run streams.
    capture(window, "tovrask-linked")
    desktop.set_text(field, "Off")
    desktop.press(desktop.find(window, "push button", "Execute"))
    panel.wait_state("Off")
    tovrask.stop()


def ostrel_pictures():
    source = desktop.Program("ddesource")
    source_window = source.window("DDE Source")
    desktop.find(source_window, "label", "Serving Source|DDESource")
    ostrel = desktop.Program("ostrel")
    window = ostrel.window("DDE Destination")
    box = desktop.find(window, "text", "Source value")
    desktop.press(desktop.find(window, "push button", "Connect"))
    desktop.wait_until(lambda: desktop.text_of(box) != "", "the source's value")
    desktop.set_text(desktop.find(source_window, "text", "Data"), "42")
    desktop.wait_until(lambda: desktop.text_of(box) == "42", "42 through the link")
    capture(window, "ostrel-default")
    desktop.set_text(box, "150")
    desktop.press(desktop.find(window, "push button", "Poke"))
    desktop.wait_until(lambda: 'poke txtData "150"' in desktop.text_of(desktop.find(source_window, "text", "Received")),
                       "the source to log the poke")
    capture(window, "ostrel-red")
    capture(source_window, "ddesource")
    ostrel.stop()
    source.stop()


def brallow_pictures():
    folder = demo_folder("exchange")
    pin_dates(folder)
    parties = [desktop.Program("brallow", cwd=folder), desktop.Program("brallow", cwd=folder)]
    windows = [party.window("File Communications") for party in parties]
    paths = [os.path.join(folder, "first-to-second.txt"), os.path.join(folder, "second-to-first.txt")]
    for index, (party, window) in enumerate(zip(parties, windows)):
        for button, title, path in (("Set Output", "Please enter the output file for communications", paths[index]),
                                    ("Set Input", "Please enter the input file for communications", paths[1 - index])):
            desktop.press(desktop.find(window, "push button", button))
            dialog = desktop.window_of(party.application(), title)
            # The dialog opens in the program's folder, the exchange folder: the name is enough.
            desktop.set_text(desktop.find(dialog, "text", "File name:"), os.path.basename(path))
            if index == 0 and button == "Set Input":
                capture(dialog, "brallow-set-input")
            desktop.press(desktop.find(dialog, "push button", "Open"))
            desktop.wait_until(lambda: not desktop.is_showing(dialog), "the file dialog to close")
    desktop.set_text(desktop.find(windows[0], "text", "Text to send"), "Hello from the first copy")
    desktop.press(desktop.find(windows[0], "push button", "Send"))
    desktop.wait_until(lambda: os.path.exists(paths[0]) and open(paths[0], "rb").read().endswith(b"\r"),
                       "the record in the exchange file")
    desktop.set_text(desktop.find(windows[1], "text", "Text to send"), "And hello back")
    desktop.press(desktop.find(windows[1], "push button", "Receive"))
    received = desktop.find(windows[1], "text", "Received text")
    desktop.wait_until(lambda: desktop.text_of(received).startswith("Hello from the first copy"),
                       "the line to arrive")
    capture(windows[1], "brallow")
    for party in parties:
        party.stop()


def plot_pictures():
    """kestrin-plot linked to an instrument streaming a Gaussian run of four points per line."""
    from test_plot import connect_plot, gaussian_run, trace_statistics
    instrument = desktop.Program("kestrin")
    panel = KestrinWindow(instrument)
    panel.switch_on()
    gaussian_run(panel, 200, 4)
    plot = desktop.Program("kestrin-plot")
    window = plot.window("Kestrin Plot")
    connect_plot(window)
    panel.press("Start")
    statistics = desktop.find(window, "label", description="Statistics")
    # The window's 1000 lines across the whole width, one of them the run's start marker.
    desktop.wait_until(lambda: trace_statistics(desktop.text_of(statistics)).get(1, (0,))[0] >= 999,
                       "the plot's window full")
    # The traces move on every frame: the display is paused (the link goes on receiving) so that
    # the window holds still for the picture.
    desktop.press(desktop.find(window, "push button", "Pause"))
    capture(window, "kestrin-plot")
    panel.press("Abort")
    plot.stop()
    instrument.stop()


def main():
    os.makedirs(OUTPUT, exist_ok=True)
    shutil.rmtree(DEMO_FOLDER, ignore_errors=True)
    try:
        program, panel = instrument_pictures()
        tovrask_pictures(panel)
        program.stop()
        ostrel_pictures()
        brallow_pictures()
        if os.path.exists(os.path.join(desktop.PROGRAM_DIR, "kestrin-plot")):
            plot_pictures()
    finally:
        shutil.rmtree(DEMO_FOLDER, ignore_errors=True)


if __name__ == "__main__":
    main()
