"""The examples run as a user runs them."""
import os
import re
import subprocess
import sys

import h5py
import matplotlib.image
import numpy as np

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def run(name, *args):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(EXAMPLES))
    result = subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *args],
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_quickstart_streams_records_exports_and_plots(tmp_path):
    out = run("quickstart.py", str(tmp_path))
    assert "25600 groups from index 0" in out and "lost 0" in out
    with h5py.File(tmp_path / "run.h5") as f:
        assert f["ai_code"].shape[1] == 8 and f["ai_code"].shape[0] >= 25600
    assert matplotlib.image.imread(tmp_path / "run.png").shape[2] in (3, 4)


def test_watch_loss_reports_the_gaps_it_has(tmp_path):
    # The ring holds about a million groups: 100 slow reads (5 s) let a flood
    # of 7 MB/s overrun it, which a loaded machine still sends (10 reads, as
    # before, needed 68 MB/s and lost nothing under load).
    out = run("watch_loss.py", "--slow", "--seconds", "1")
    lost = int(re.search(r"lost (\d+)", out).group(1))
    reported = sum(int(n) for n in re.findall(r"(\d+) groups missing", out))
    assert lost > 0 and reported == lost


def test_counters_and_outputs():
    out = run("counters_and_outputs.py")
    word = int(re.search(r"di word (0x[0-9a-f]+)", out).group(1), 16)
    assert word & 0xFFF == 0b10011
    assert "100 per period = 1000 /s" in out
    assert np.isclose(float(re.search(r"pulse ([\d.]+) Hz", out).group(1)), 1000.0)
