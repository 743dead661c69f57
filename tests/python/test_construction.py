"""EventReader(path, reader_type): binding, argument types, opening, layout choice."""
import os
import pathlib

import pytest

from vorn import EventReader

import wd_files

NEW = "EventReader.__new__()"


class TestArgumentBinding:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "missing 2 required positional arguments: 'path' and 'reader_type'"),
        (("p",), {}, "missing 1 required positional argument: 'reader_type'"),
        ((), {"path": "p"}, "missing 1 required positional argument: 'reader_type'"),
        ((), {"reader_type": "WD1"}, "missing 1 required positional argument: 'path'"),
        (("p", "WD1", "x"), {}, "takes 2 positional arguments but 3 were given"),
        (("p", "WD1", "x", "y"), {}, "takes 2 positional arguments but 4 were given"),
        (("p", "WD1"), {"path": "q"}, "got multiple values for argument 'path'"),
        (("p",), {"path": "q", "reader_type": "WD1"}, "got multiple values for argument 'path'"),
        (("p", "WD1"), {"reader_type": "WD2"}, "got multiple values for argument 'reader_type'"),
        (("p", "WD1"), {"mode": "r"}, "got an unexpected keyword argument 'mode'"),
        ((), {"path": "p", "reader_type": "WD1", "Path": "q"},
         "got an unexpected keyword argument 'Path'"),
        (("p",), {"readertype": "WD1"}, "got an unexpected keyword argument 'readertype'"),
    ])
    def test_binding_errors_name_the_function(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            EventReader(*args, **kwargs)
        assert type(info.value) is TypeError
        assert str(info.value) == f"{NEW} {message}"

    @pytest.mark.parametrize("call", [
        lambda p: EventReader(p, "WD1"),
        lambda p: EventReader(p, reader_type="WD1"),
        lambda p: EventReader(path=p, reader_type="WD1"),
        lambda p: EventReader(reader_type="WD1", path=p),
        lambda p: EventReader(**{"reader_type": "WD1", "path": p}),
    ])
    def test_position_and_keywords_in_any_order_are_equivalent(self, wd1_path, call):
        events = list(call(wd1_path))
        assert [e["event_counter"] for e in events] == [0, 1, 2, 3, 4]


class StrPath(str):
    pass


class TestArgumentTypes:
    @pytest.mark.parametrize("value, type_name", [
        (b"events.bin", "bytes"),
        (pathlib.Path("events.bin"), "PosixPath"),
        (None, "NoneType"),
        (3, "int"),
        (bytearray(b"x"), "bytearray"),
    ])
    def test_path_must_be_str(self, value, type_name):
        with pytest.raises(TypeError) as info:
            EventReader(value, "WD1")
        assert str(info.value) == f"{NEW} argument 'path' must be str, not {type_name}"

    @pytest.mark.parametrize("value, type_name", [
        (b"WD1", "bytes"), (None, "NoneType"), (1, "int"), (["WD1"], "list"),
    ])
    def test_reader_type_must_be_str(self, wd1_path, value, type_name):
        with pytest.raises(TypeError) as info:
            EventReader(wd1_path, value)
        assert str(info.value) == f"{NEW} argument 'reader_type' must be str, not {type_name}"

    def test_path_is_checked_first(self):
        with pytest.raises(TypeError, match="argument 'path' must be str, not bytes"):
            EventReader(b"p", b"WD1")

    def test_wrong_path_type_leaves_the_file_system_alone(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "events.bin").write_bytes(wd_files.wd1_run(1))
        with pytest.raises(TypeError):
            EventReader(pathlib.Path("events.bin"), "WD1")

    def test_str_subclasses_are_accepted(self, wd1_path):
        assert len(list(EventReader(StrPath(wd1_path), StrPath("WD1")))) == 5

    @pytest.mark.parametrize("args", [("\udc80.bin", "WD1"), ("PATH", "WD\udc80")])
    def test_lone_surrogates_cannot_be_encoded(self, wd1_path, args):
        args = tuple(a.replace("PATH", wd1_path) for a in args)
        with pytest.raises(UnicodeEncodeError) as info:
            EventReader(*args)
        assert info.value.encoding == "utf-8"
        assert "surrogates not allowed" in str(info.value)

    def test_non_ascii_file_names_are_utf8(self, write):
        path = write(wd_files.wd1_run(2), name="événements-μ.bin")
        assert len(list(EventReader(path, "WD1"))) == 2


def assert_bare_os_error(exc, type_, message):
    """Built from one message: errno, strerror and filename stay None."""
    assert type(exc) is type_
    assert str(exc) == message
    assert exc.args == (message,)
    assert (exc.errno, exc.strerror, exc.filename) == (None, None, None)


class TestOpenErrors:
    @pytest.mark.parametrize("reader_type", ["WD1", "WD2", "WD3", "", "wd1"])
    def test_missing_file(self, tmp_path, reader_type):
        with pytest.raises(OSError) as info:
            EventReader(str(tmp_path / "missing.bin"), reader_type)
        assert_bare_os_error(info.value, FileNotFoundError,
                             "No such file or directory (os error 2)")

    def test_path_below_a_regular_file(self, wd1_path):
        with pytest.raises(OSError) as info:
            EventReader(wd1_path + "/x", "WD1")
        assert_bare_os_error(info.value, NotADirectoryError, "Not a directory (os error 20)")

    def test_directory_as_wd2_fails_in_the_probe_as_plain_oserror(self, tmp_path):
        with pytest.raises(OSError) as info:
            EventReader(str(tmp_path), "WD2")
        assert_bare_os_error(info.value, OSError, "Is a directory (os error 21)")

    def test_directory_as_wd1_constructs(self, tmp_path):
        EventReader(str(tmp_path), "WD1")

    @pytest.mark.parametrize("path", ["events\0.bin", "\0", "PATH\0"])
    def test_nul_byte(self, wd1_path, path):
        with pytest.raises(OSError) as info:
            EventReader(path.replace("PATH", wd1_path), "WD1")
        assert_bare_os_error(info.value, OSError, "file name contained an unexpected NUL byte")

    def test_empty_path(self):
        with pytest.raises(FileNotFoundError):
            EventReader("", "WD1")

    def test_relative_path_is_resolved_against_the_working_directory(self, tmp_path, monkeypatch):
        (tmp_path / "events.bin").write_bytes(wd_files.wd1_run(3))
        monkeypatch.chdir(tmp_path)
        assert len(list(EventReader("events.bin", "WD1"))) == 3
        with pytest.raises(FileNotFoundError):
            EventReader("~/events.bin", "WD1")

    def test_permission_denied(self, tmp_path):
        path = tmp_path / "secret.bin"
        path.write_bytes(wd_files.wd1_run(1))
        path.chmod(0)
        outcome = open_unprivileged(str(path))
        assert outcome == ("PermissionError", "Permission denied (os error 13)", "None")


def open_unprivileged(path):
    """(exception type, message, errno) of EventReader(path, "WD1") without root's rights."""
    def attempt():
        try:
            EventReader(path, "WD1")
        except OSError as e:
            return (type(e).__name__, str(e), str(e.errno))
        return ("no error", "", "")

    if os.geteuid() != 0:
        return attempt()
    try:
        import pwd
        nobody = pwd.getpwnam("nobody")
    except (ImportError, KeyError):
        pytest.skip("no unprivileged user to switch to")
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child drops root for good, reports, and leaves at once
        status = 1
        try:
            os.close(read_end)
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
            os.write(write_end, "\n".join(attempt()).encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        report = f.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, "the child failed"
    return tuple(report.split("\n"))


class TestReaderType:
    @pytest.mark.parametrize("reader_type", ["", "wd1", "WD1 ", " WD1", "WD3", "WD12", "WD1\0",
                                             "ＷＤ１"])
    def test_unknown_reader_type(self, wd1_path, reader_type):
        with pytest.raises(ValueError) as info:
            EventReader(wd1_path, reader_type)
        assert type(info.value) is ValueError
        assert str(info.value) == f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'"

    @pytest.mark.parametrize("reader_type", ["WD1", "WD2", "WD3"])
    def test_the_file_is_closed_on_every_way_out(self, wd1_path, tmp_path, open_fds, reader_type):
        before = open_fds()
        for _ in range(5):
            try:
                EventReader(wd1_path, reader_type)
            except ValueError:
                pass
            try:
                EventReader(str(tmp_path), "WD2")
            except OSError:
                pass
        assert open_fds() == before

    def test_reader_keeps_its_file_open_until_deleted(self, wd1_path, open_fds):
        before = open_fds()
        readers = [EventReader(wd1_path, "WD1") for _ in range(3)]
        assert open_fds() == before + 3
        del readers
        assert open_fds() == before


class TestWD2Probe:
    """Construction of "WD2" readers: the probe settles the record form, then rewinds."""

    @pytest.mark.parametrize("content", [
        b"",
        b"\x01" * 27,
        wd_files.wd2([1.5, 2.5], channels=2),          # one record with a channel word
        wd_files.wd2([], channels=None),               # one empty record without one
        wd_files.wd2([1.0, -1.0, 2.0]),                # first sample positive, no word
        wd_files.wd2([-1.0, 3.0, 2.0]),                # first sample negative, no word
    ])
    def test_short_and_single_channel_files_open(self, write, content):
        EventReader(write(content), "WD2")

    def test_unseekable_input_fails_at_the_rewind(self, tmp_path):
        fifo = str(tmp_path / "fifo")
        os.mkfifo(fifo)
        writer = os.open(fifo, os.O_RDWR)  # a writer, so that the open does not wait
        try:
            os.write(writer, wd_files.wd2_run(3, channels=2))
            with pytest.raises(OSError) as info:
                EventReader(fifo, "WD2")
        finally:
            os.close(writer)
        assert_bare_os_error(info.value, OSError, "Illegal seek (os error 29)")

    def test_read_error_in_the_probe_is_plain_oserror(self, eio_path):
        with pytest.raises(OSError) as info:
            EventReader(eio_path, "WD2")
        assert_bare_os_error(info.value, OSError, "Input/output error (os error 5)")
