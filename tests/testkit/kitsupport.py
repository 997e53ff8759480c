"""What the kit's own suites share."""

import threading


def start_together(kits) -> list:
    """Starts the kits at once, each from a thread that ends when it has started: an instrument
    lives as long as its kit, not its thread. Returns what each start raised, for the caller to
    report once every kit can be closed."""
    failures = []

    def start(kit):
        try:
            kit.start()
        except Exception as failure:  # reported by the caller, with the others closed first
            failures.append(failure)
    threads = [threading.Thread(target=start, args=(kit,)) for kit in kits]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return failures
