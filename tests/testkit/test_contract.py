"""The names the kit shares with the instrument (kestrin_testkit.contract) are the names the
instrument's code serves, as the program contract_names, built with it, prints them."""

import json
import os
import subprocess

from kestrin_testkit import contract


def served() -> dict:
    return json.loads(subprocess.run([os.environ["CONTRACT_NAMES"]], check=True, capture_output=True, timeout=30,
                                     text=True).stdout)


def test_the_kit_names_what_the_instrument_serves():
    names = served()
    assert (names["application"], names["topic"], names["output_item"]) == (
        contract.APPLICATION, contract.TOPIC, contract.OUTPUT_ITEM)
    assert sorted(names["panel_items"]) == sorted(contract.panel_items())
    assert (names["dde_socket"], names["serial_port"]) == (contract.DDE_SOCKET, contract.SERIAL_PORT)
    assert (names["listening"], names["server_port_refusal"]) == (contract.LISTENING, contract.SERVER_PORT_REFUSAL)
