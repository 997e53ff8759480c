"""The names the kit shares with the instrument, in one place: the conversation application, topic
and items, where the instrument publishes its conversation socket and serial port under its runtime
folder, and the texts the kit reads. The contract test checks every one against what the
instrument's own code serves (the program contract_names, built with it).
"""

import os

APPLICATION = "Kestrin"
TOPIC = "Kestrin"
OUTPUT_ITEM = "txtOutput"
STATE_ITEM = "lblState"
STATUS_ITEM = "sbrMessage"
INPUT_ITEM = "txtInput"
# The panel's controls as conversation items, by the caption the window shows them with.
PANEL_ITEMS = {
    "Frequency": "txtFrequency", "Line Format": "txtPtsPerLine", "No. Lines": "txtNumPts", "Min": "txtMin",
    "Max": "txtMax", "Mean": "txtMean", "St Dev": "txtStDev", "File Name": "txtFileName",
    "Random": "opRandom", "From a file": "opFile", "Continuous": "opContinuous", "Finite": "opFinite",
    "Flat": "opFlat", "Gaussian": "opGaussian", "Include data point number": "chkPointNumber",
    "Absolute Value": "chkAbsVal",
}
FORMAT_ITEMS = {"Token Separator": "frmXmitFormats.cmbTokenSep", "Line Terminator": "frmXmitFormats.cmbLineTerm"}
SERIAL_ENABLED_ITEM = "frmCommSettings.chkEnabled"
SERIAL_PORT_ITEM = "frmCommSettings.cmbCommPort"
SERIAL_LIST_ITEMS = {"Baud Rate": "frmCommSettings.cmbBaudRate", "Parity": "frmCommSettings.cmbParity",
                     "Data Bits": "frmCommSettings.cmbDataBits", "Stop Bits": "frmCommSettings.cmbStopBits"}
NETWORK_ENABLED_ITEM = "frmNetworkSettings.chkEnabled"
NETWORK_PORT_ITEM = "frmNetworkSettings.txtServerPort"

# Under the runtime folder.
DDE_SOCKET = os.path.join("dde", "kestrin")
SERIAL_PORT = os.path.join("kestrin", "COM1")

# The status bar once the TCP server listens.
LISTENING = "Listening ..."
SERVER_PORT_REFUSAL = "The server port must be a number from 1 to 32767."


def panel_items() -> list:
    """Every item of the windowless instrument's panel."""
    return [STATE_ITEM, STATUS_ITEM, INPUT_ITEM, *PANEL_ITEMS.values(), *FORMAT_ITEMS.values(), SERIAL_ENABLED_ITEM,
            SERIAL_PORT_ITEM, *SERIAL_LIST_ITEMS.values(), NETWORK_ENABLED_ITEM, NETWORK_PORT_ITEM]


def dde_socket(runtime: str) -> str:
    return os.path.join(runtime, DDE_SOCKET)


def serial_port(runtime: str) -> str:
    return os.path.join(runtime, SERIAL_PORT)
