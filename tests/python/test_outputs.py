"""The output folder: a run replaces or removes only files it wrote and that
are as it wrote them, commits all its files or none, and keeps a second run
out while one writes."""

import hashlib
import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap

import pytest
import rsvelmo._outputs as outputs
import rsvelmo.cli.run
from rsvelmo._outputs import OutputError, OutputFolder, OutputWarning
from rsvelmo.cli import main

RECORD = {"command": ["test"]}


def writers(texts):
    """Name -> a function writing that text to the file it is given."""

    def writer(text):
        def write(path):
            with open(path, "w") as f:
                f.write(text)

        return write

    return {name: writer(text) for name, text in texts.items()}


def snapshot(folder):
    """Every entry under `folder` (links not followed) -> its bytes or link target."""
    seen = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            rel = os.path.relpath(path, folder)
            if os.path.islink(path):
                seen[rel] = "-> " + os.readlink(path)
            elif os.path.isdir(path):
                seen[rel] = "folder"
            elif os.path.isfile(path):
                seen[rel] = pathlib.Path(path).read_bytes()
    return seen


def write_run(path, texts, record=RECORD):
    with OutputFolder(path) as folder:
        folder.write(writers(texts), lambda: record)


FIRST = {"results.tsv": "table 1\n", "plots/a.svg": "figure a 1", "plots/b.svg": "figure b 1"}
SECOND = {"results.tsv": "table 2\n", "plots/a.svg": "figure a 2", "plots/b.svg": "figure b 2"}


def test_the_manifest_records_path_size_and_hash_of_each_output(tmp_path):
    write_run(tmp_path / "out", FIRST)
    manifest = json.loads((tmp_path / "out" / "run.json").read_text())
    expected = [{"path": n, "bytes": len(t), "sha256": hashlib.sha256(t.encode()).hexdigest()}
                for n, t in sorted(FIRST.items())]  # fmt: skip
    assert manifest["outputs"] == [*expected, {"path": "run.json"}] and manifest["complete"] is True
    assert manifest["command"] == ["test"]
    assert sorted(os.listdir(tmp_path / "out")) == ["plots", "results.tsv", "run.json"]
    write_run(tmp_path / "out", SECOND)  # its own files are replaced
    assert {n: (tmp_path / "out" / n).read_text() for n in SECOND} == SECOND


class TestOnlyWhatItWrote:
    def crafted(self, tmp_path, entries):
        """A folder whose run.json names a note of the user's and a thesis
        reached through a link to another folder."""
        out, elsewhere = tmp_path / "craft", tmp_path / "elsewhere"
        out.mkdir()
        elsewhere.mkdir()
        (out / "notes.txt").write_text("my notes")
        (elsewhere / "thesis.docx").write_text("my thesis")
        (out / "esc").symlink_to(elsewhere)
        (out / "run.json").write_text(json.dumps({"rsvelmo_version": "0.1.0", "outputs": entries}))
        return out, elsewhere

    def facts(self, text):
        return {"bytes": len(text), "sha256": hashlib.sha256(text.encode()).hexdigest()}

    @pytest.mark.parametrize("hashed", [False, True], ids=["earlier-version-names", "hashes-that-match"])
    def test_a_crafted_manifest_removes_nothing_outside_or_unverified(self, tmp_path, hashed):
        if hashed:  # even matching bytes do not reach through a link, or out by '..' or an absolute name
            entries = [{"path": "esc/thesis.docx", **self.facts("my thesis")},
                       {"path": "../elsewhere/thesis.docx", **self.facts("my thesis")},
                       {"path": str(tmp_path / "elsewhere" / "thesis.docx"), **self.facts("my thesis")},
                       {"path": "notes.txt", **self.facts("not my notes")}]  # fmt: skip
        else:
            entries = ["notes.txt", "esc/thesis.docx", "run.json"]
        out, elsewhere = self.crafted(tmp_path, entries)
        with pytest.warns(OutputWarning, match=r"kept 2 file\(s\) .*: esc/thesis.docx, notes.txt$"):
            write_run(out, {"results.tsv": "table\n"})
        assert (out / "notes.txt").read_text() == "my notes" and (elsewhere / "thesis.docx").read_text() == "my thesis"
        paths = [o["path"] for o in json.loads((out / "run.json").read_text())["outputs"]]
        assert paths == ["results.tsv", "run.json"]  # the kept files are the user's from now on

    @pytest.mark.parametrize(
        "entries, reason",
        [
            (
                ["notes.txt"],
                "was written by an earlier version of rsvelmo that did not record its contents, so it cannot tell "
                "whether it was changed since",
            ),
            ([{"path": "notes.txt", "bytes": 8, "sha256": "0" * 64}], "was changed after rsvelmo wrote it"),
            ([], "exists and was not written by an earlier run"),
        ],
    )
    def test_a_file_it_cannot_verify_is_not_replaced(self, tmp_path, entries, reason):
        out, _ = self.crafted(tmp_path, entries)
        before = snapshot(out)
        with pytest.raises(OutputError) as e, OutputFolder(out) as folder:
            folder.write(writers({"notes.txt": "results"}), lambda: RECORD)
        advice = "rsvelmo leaves it alone: move it away or choose another folder with -o"
        assert str(e.value) == f"{out / 'notes.txt'} {reason}; {advice}"
        assert snapshot(out) == before

    def test_a_file_the_user_edited_after_a_run_is_kept(self, tmp_path):
        out = tmp_path / "out"
        write_run(out, FIRST)
        (out / "plots" / "b.svg").write_text("figure b, my edit")
        with pytest.raises(OutputError, match="b.svg was changed after rsvelmo wrote it; rsvelmo leaves it alone"):
            write_run(out, SECOND)
        with pytest.warns(OutputWarning, match=r"kept 1 file\(s\) .*: plots/b.svg$"):
            write_run(out, {"results.tsv": "table 3\n"})  # a run without figures removes only a.svg
        assert snapshot(out).keys() == {"plots", "plots/b.svg", "results.tsv", "run.json"}

    @pytest.mark.parametrize("kind", ["file", "link"])
    def test_a_folder_of_outputs_must_be_a_real_folder_inside(self, tmp_path, kind):
        out, elsewhere = tmp_path / "out", tmp_path / "elsewhere"
        out.mkdir()
        elsewhere.mkdir()
        (out / "plots").symlink_to(elsewhere) if kind == "link" else (out / "plots").write_text("mine")
        what = "a symbolic link" if kind == "link" else "in the way of the output folder"
        with pytest.raises(OutputError, match=f"plots is {what} plots/; rsvelmo writes only inside"):
            write_run(out, FIRST)
        assert os.listdir(elsewhere) == [] and sorted(os.listdir(out)) == ["plots"]


class TestCommit:
    @pytest.mark.parametrize(
        "cause, message",
        [
            (KeyboardInterrupt, None),  # so that "interrupted; no results written" is true
            (OSError(28, "No space left on device"), "No space left on device while writing plots/b.svg into {out}: "
             "no output was written, the earlier ones are as they were"),
        ],
    )  # fmt: skip
    def test_a_stop_while_writing_leaves_the_folder_as_it_was(self, tmp_path, cause, message):
        out = tmp_path / "out"
        write_run(out, FIRST)
        before = snapshot(out)

        def stop(path):
            raise cause

        with pytest.raises(KeyboardInterrupt if message is None else OutputError) as e, OutputFolder(out) as folder:
            folder.write(writers(SECOND) | {"plots/b.svg": stop}, lambda: RECORD)
        assert message is None or str(e.value) == message.format(out=out)
        assert snapshot(out) == before

    @pytest.mark.parametrize(
        "cause, shown",
        [(KeyboardInterrupt, "interrupted"), (OSError(28, "No space left on device"), "No space left on device")],
    )
    def test_a_stop_during_the_commit_names_what_was_written(self, tmp_path, monkeypatch, cause, shown):
        out = tmp_path / "out"
        write_run(out, FIRST)
        real = os.replace

        def replace(source, target):
            if str(target).endswith("b.svg"):  # results.tsv and a.svg are in place, b.svg is not
                raise cause
            return real(source, target)

        monkeypatch.setattr(outputs.os, "replace", replace)
        with pytest.raises(OutputError) as e, OutputFolder(out) as folder:
            folder.write(writers(SECOND), lambda: RECORD)
        monkeypatch.undo()
        assert str(e.value) == (f"{shown} while the outputs were put in place in {out}: written plots/a.svg; "
                                "not written plots/b.svg, results.tsv; run.json owns the earlier and the new files, "
                                "so a new run replaces them")  # fmt: skip
        assert [(out / n).read_text() for n in sorted(FIRST)] == ["figure a 2", "figure b 1", "table 1\n"]
        assert not any(n.endswith(".part") for n in snapshot(out))
        write_run(out, SECOND)  # the next run owns every file, old or new
        assert {n: (out / n).read_text() for n in SECOND} == SECOND


def test_the_folder_admits_one_run_at_a_time(tmp_path):
    out = tmp_path / "out"
    first = OutputFolder(out)
    first.check(["results.tsv"])
    with pytest.raises(OutputError) as e:
        OutputFolder(out).check(["results.tsv"])
    assert str(e.value) == (f"another rsvelmo run (process {os.getpid()}) is writing into {out}; wait until it "
                            "has finished, or choose another folder with -o")  # fmt: skip
    first.release()
    write_run(out, FIRST)
    assert sorted(os.listdir(out)) == ["plots", "results.tsv", "run.json"]  # the lock goes with its run


def test_a_run_killed_while_writing_leaves_nothing_that_stops_the_next(tmp_path):
    out = tmp_path / "out"
    write_run(out, FIRST)
    # A second process stops in the middle of drawing b.svg; it is then killed.
    code = textwrap.dedent(f"""
        import pathlib, sys, time
        from rsvelmo._outputs import OutputFolder
        def stuck(path):
            pathlib.Path(path).write_text("half a fig")
            print("writing", flush=True)
            time.sleep(60)
        def done(path):
            pathlib.Path(path).write_text("figure a 2")
        OutputFolder({str(out)!r}).write({{"plots/a.svg": done, "plots/b.svg": stuck}}, lambda: {{}})
    """)
    with subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline() == "writing\n"
            with pytest.raises(OutputError, match=f"another rsvelmo run \\(process {child.pid}\\) is writing into"):
                write_run(out, SECOND)
        finally:
            child.send_signal(signal.SIGKILL)
            child.wait()
    parts = [n for n in snapshot(out) if n.endswith(".part")]
    assert len(parts) == 2 and all(os.path.basename(n).startswith(".rsvelmo-") for n in parts)
    assert {n: (out / n).read_text() for n in FIRST} == FIRST  # the killed run replaced nothing
    write_run(out, SECOND)
    assert sorted(snapshot(out)) == ["plots", "plots/a.svg", "plots/b.svg", "results.tsv", "run.json"]


def test_leftover_temporary_files_are_removed_unless_held_or_not_ours(tmp_path):
    out, elsewhere = tmp_path / "out", tmp_path / "elsewhere.part"
    write_run(out, FIRST)
    elsewhere.write_text("keep")
    leftovers = ["plots/.rsvelmo-abc123.part", ".rsvelmo-x.part"]
    for name in leftovers:
        (out / name).write_text("")
    (out / ".rsvelmo-notes.txt").write_text("mine")
    (out / "plots" / ".rsvelmo-link.part").symlink_to(elsewhere)
    held = open(out / "plots" / ".rsvelmo-held.part", "w")  # a file another process is writing
    outputs.fcntl.flock(held.fileno(), outputs.fcntl.LOCK_EX)
    try:
        write_run(out, SECOND)
    finally:
        held.close()
    left = sorted(n for n in snapshot(out) if ".rsvelmo-" in n)
    assert left == [".rsvelmo-notes.txt", "plots/.rsvelmo-held.part", "plots/.rsvelmo-link.part"]
    assert elsewhere.read_text() == "keep"


class TestBeforeTheAnalysis:
    @pytest.fixture
    def never_analyse(self, monkeypatch):
        def analyse(*args):
            raise AssertionError("the analysis ran")

        monkeypatch.setattr(rsvelmo.cli.run, "analyse", analyse)

    @pytest.fixture
    def ranking(self, tmp_path, write_gmt):
        rnk = tmp_path / "x.rnk"
        rnk.write_text("".join(f"G{i}\t{i - 50}.5\n" for i in range(100)))
        return [str(rnk), write_gmt("S\tdesc\t" + "\t".join(f"G{i}" for i in range(20)) + "\n")]

    @pytest.mark.parametrize(
        "setup, extra, message",
        [
            ("report.html", ["--report"], "report.html exists and was not written by an earlier run"),
            ("plots", ["--plots"], "plots is in the way of the output folder plots/"),
            ("x.results.tsv", ["{rnk}"], "x.results.tsv exists and was not written by an earlier run"),
        ],
    )
    def test_what_is_in_the_way_is_said_first(self, tmp_path, ranking, never_analyse, capsys, setup, extra, message):
        out = tmp_path / "out"
        out.mkdir()
        (out / setup).write_text("mine")
        second = tmp_path / "y" / "x.rnk"
        second.parent.mkdir()
        second.write_text(pathlib.Path(ranking[0]).read_text())
        files = [ranking[0], *([str(second)] if extra == ["{rnk}"] else []), ranking[1]]
        options = [] if extra == ["{rnk}"] else extra
        assert main(["run", *files, "-o", str(out), *options]) == 2
        err = capsys.readouterr().err
        assert message in err and err.count("\n") == 1 and os.listdir(out) == [setup]

    @pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
    def test_a_read_only_folder_is_said_first(self, tmp_path, ranking, never_analyse, capsys):
        out = tmp_path / "out"
        out.mkdir(mode=0o555)
        assert main(["run", *ranking, "-o", str(out)]) == 2
        assert f"cannot write into {out} (Permission denied)" in capsys.readouterr().err
