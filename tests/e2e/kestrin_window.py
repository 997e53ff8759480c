"""The instrument's main window as a user sees it, as the test kit drives it."""

from kestrin_testkit.panel import Panel as KestrinWindow  # noqa: F401 - the suite's name for it
