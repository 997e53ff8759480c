"""The instrument's main window as a user sees it, as the test kit drives it."""

from kestrin_testkit.supervisor.window_panel import Panel as KestrinWindow  # noqa: F401 - the suite's name for it
