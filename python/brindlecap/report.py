"""Reproducers and the HTML report of an acceptance run:

    with RunRecorder() as recorder:
        result = fe.evaluate(config, None, store)
    folders = write_reproducers(recorder.observations(), "build/repro", replay_command)
    write_html_report("build/report.html", result, recorder.observations(), folders)
"""
from brindlecap import _native

_native.export(globals(), "report")
