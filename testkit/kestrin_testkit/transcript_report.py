"""The pytest plugin's part for transcripts: a failing test's report gets a "kestrin transcript"
section with the last lines of each channel of every instrument the test used, and names the
files that hold them whole (under pytest's temporary folder, or --kestrin-transcripts DIR).

The section is part of the failure's own text, not a section of the report beside it: the console
shows it under the traceback, and JUnit XML (--junitxml) writes it into the test's <failure> or
<error> element, which CI pages show, whatever junit_logging says (captured output reaches the
XML only when junit_logging asks for it)."""

import os
from typing import Any, Generator

import pytest

from kestrin_testkit import transcript
from kestrin_testkit.faultlayer import owner

SECTION = "kestrin transcript"


def pytest_sessionstart(session: pytest.Session) -> None:
    folder = session.config.getoption("--kestrin-transcripts")
    if folder is None:
        folder = os.path.join(session.config._tmp_path_factory.getbasetemp(), "kestrin-transcripts")
    owner.default_transcript_parent = os.path.abspath(folder)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_setup(item: pytest.Item) -> Generator[None, Any, None]:
    with transcript.opened_lock:
        # Transcripts closed before this test are no part of it.
        transcript.opened[:] = [kept for kept in transcript.opened if not kept.closed]
        item.stash[used_key] = list(transcript.opened)
        item.stash[count_key] = len(transcript.opened)
    yield


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo) -> Generator[None, Any, None]:
    outcome = yield
    report = outcome.get_result()
    if not report.failed or used_key not in item.stash:
        return
    with transcript.opened_lock:
        used = item.stash[used_key] + transcript.opened[item.stash[count_key]:]
    text = "\n".join(filter(None, (described(kept) for kept in used)))
    if text:
        attach(report, text)


def attach(report: pytest.TestReport, text: str) -> None:
    """Adds the section to the failure's text, as a traceback or as the plain text of a failure
    that has none (pytest.fail(pytrace=False))."""
    if hasattr(report.longrepr, "addsection"):
        report.longrepr.addsection(SECTION, text)
    else:
        report.longrepr = f"{report.longrepr}\n{' ' + SECTION + ' ':-^80}\n{text}"


def described(kept: transcript.Transcript) -> str:
    parts = []
    for channel, lines in kept.tail().items():
        where = kept.path(channel)
        parts.append(f"--- {channel}" + (f" (whole: {where})" if where else "") + f", last {len(lines)} lines")
        parts.extend(lines)
    return "\n".join(parts)


used_key = pytest.StashKey[list]()
count_key = pytest.StashKey[int]()
