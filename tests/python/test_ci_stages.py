"""scripts/test's stage loop, on a directory of dummy stages: what fails the run, with and without CI."""

import os
import signal
import subprocess

import pytest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "test")


@pytest.mark.parametrize("codes, ci, status", [
    ([0, 0], "true", 0),
    ([0, 77], None, 0),  # a stage that cannot run here is reported, and the run stays green...
    ([77, 0], "true", 1),  # ...except in CI, where every stage must run
    ([1, 0], None, 1),
    ([], None, 1),  # no stage at all is no pass
])
def test_stage_loop(tmp_path, codes, ci, status):
    stages = tmp_path / "stages"
    stages.mkdir()
    for i, code in enumerate(codes):
        (stages / f"{i}0-dummy.sh").write_text(f"touch {tmp_path}/ran-{i}\nexit {code}\n")
    env = {k: v for k, v in os.environ.items() if k != "CI"}
    env.update({"ZENTROX_STAGES": str(stages)}, **({"CI": ci} if ci else {}))
    # A session of its own: a run gone wrong is ended with all it started.
    proc = subprocess.Popen(["bash", SCRIPT], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == status, out
    # A failing or missing stage never keeps the later ones from running.
    assert sorted(p.name for p in tmp_path.glob("ran-*")) == [f"ran-{i}" for i in range(len(codes))]
    assert ("did not run" in out) == (77 in codes)
