"""The backup folder in S3: mirroring both ways, dry run, only what changed travels."""

import logging

import botocore.exceptions
import pytest

from awsconf_fixtures import (BUCKET, aws_env, folder_contents, globals_state,  # noqa: F401
                              s3, s3_contents)
from morvent.core.backup import BackupDescriptor
from morvent.lib.lock import VpcLock
from morvent.lib.s3 import BackupConflict, BackupError, BackupUnavailable, S3BackupCmdV2

PREFIX = "morvent/prod-acct/eu-central-1/vpc-0123456789abcdef0"


@pytest.fixture
def des(tmp_path):
    return BackupDescriptor(BUCKET, PREFIX, tmp_path / "backup")


def put(client, rel, body, prefix=PREFIX):
    client.put_object(Bucket=BUCKET, Key=f"{prefix}/{rel}", Body=body)


def write(folder, files):
    for rel, body in files.items():
        path = folder / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(body)


FILES = {"command_history.json": b'{"format": 1, "version": "v2", "vpc_id": "vpc-1", '
                                 b'"commands": []}',
         "memento_history.json": b'{"format": 1, "mementos": []}',
         "rtb/rtb-1.json": b'{"routes": []}',
         "rtb/deep/rtb-2.json": b"{}"}


def test_round_trip(s3, des, tmp_path, globals_state):
    write(tmp_path / "backup", FILES)
    S3BackupCmdV2(s3, des).upload()
    assert s3_contents(s3) == {f"{PREFIX}/{rel}": body for rel, body in FILES.items()}

    other = BackupDescriptor(BUCKET, PREFIX, tmp_path / "elsewhere")
    S3BackupCmdV2(s3, other).download()
    assert folder_contents(tmp_path / "elsewhere") == FILES


def test_absent_backup_is_an_empty_folder(s3, des, globals_state):
    S3BackupCmdV2(s3, des).download()
    assert folder_contents(des.local_folder) == {}


def test_download_fetches_what_only_s3_holds_and_keeps_every_local_file(s3, des, tmp_path,
                                                                        caplog, globals_state):
    # Replaces the former ".kept-" folder: nothing local is moved or lost.
    put(s3, "route-snapshot-s1.json", b"from s3")
    put(s3, "same.json", b"same")
    put(s3, "natgw-1.json", b"s3 copy")
    local = tmp_path / "backup"
    write(local, {"same.json": b"same", "natgw-1.json": b"local copy",
                  "rtb/rtb-9.json": b"only here"})
    before = s3_contents(s3)
    caplog.set_level(logging.INFO)
    S3BackupCmdV2(s3, des).download()

    assert folder_contents(local) == {"route-snapshot-s1.json": b"from s3", "same.json": b"same",
                                      "natgw-1.json": b"local copy",
                                      "rtb/rtb-9.json": b"only here"}
    assert s3_contents(s3) == before
    assert [p.name for p in tmp_path.iterdir()] == ["backup"]
    infos = " | ".join(r.getMessage() for r in caplog.records if r.levelno == logging.INFO)
    assert "kept the local " + str(local / "natgw-1.json") in infos
    assert "rtb/rtb-9.json" in infos and "next upload" in infos
    assert not [r for r in caplog.records if r.levelno > logging.INFO]


def test_download_leaves_an_identical_folder_alone(s3, des, tmp_path, globals_state):
    write(tmp_path / "backup", FILES)
    S3BackupCmdV2(s3, des).upload()
    S3BackupCmdV2(s3, des).download()
    assert folder_contents(tmp_path / "backup") == FILES
    assert not [p for p in tmp_path.iterdir() if ".kept-" in p.name]


def test_upload_deletes_what_is_gone_locally_and_nothing_else(s3, des, tmp_path,
                                                              globals_state):
    neighbour = PREFIX + "0"  # another VPC whose id starts alike
    put(s3, "old.json", b"old")
    put(s3, "keep.json", b"other vpc", prefix=neighbour)
    s3.put_object(Bucket=BUCKET, Key=PREFIX + ".lock", Body=b"{}")
    write(tmp_path / "backup", {"new.json": b"new"})
    S3BackupCmdV2(s3, des).upload()
    assert s3_contents(s3) == {f"{PREFIX}/new.json": b"new",
                               f"{neighbour}/keep.json": b"other vpc",
                               PREFIX + ".lock": b"{}"}


def test_upload_of_a_missing_folder_changes_nothing(s3, des, globals_state):
    put(s3, "memento_history.json", b"precious")
    with pytest.raises(BackupError, match="does not exist"):
        S3BackupCmdV2(s3, des).upload()
    assert s3_contents(s3) == {f"{PREFIX}/memento_history.json": b"precious"}


def test_dry_run_reads_into_a_scratch_folder_and_stores_nothing(s3, des, tmp_path, caplog,
                                                                globals_state):
    put(s3, "memento_history.json", b"real")
    globals_state.dry_run = True
    cmd = S3BackupCmdV2(s3, des)
    cmd.download()
    scratch = des.getAbsolutePath()
    assert folder_contents(scratch) == {"memento_history.json": b"real"}
    write(type(tmp_path)(scratch), {"memento_history.json": b"dry", "extra.json": b"x"})
    caplog.set_level(logging.INFO)
    cmd.upload()
    assert s3_contents(s3) == {f"{PREFIX}/memento_history.json": b"real"}
    assert any("would upload 2 files" in r.getMessage() for r in caplog.records)
    assert not (tmp_path / "backup").exists()


@pytest.mark.parametrize("bad", ["../escape.json", "a/../../escape.json", "a//b.json"])
def test_object_names_that_leave_the_folder_are_refused(s3, des, tmp_path, bad,
                                                        globals_state):
    s3.put_object(Bucket=BUCKET, Key=f"{PREFIX}/{bad}", Body=b"x")
    with pytest.raises(BackupError, match="refusing"):
        S3BackupCmdV2(s3, des).download()
    assert not (tmp_path / "escape.json").exists()


def test_missing_bucket_is_one_clear_line(s3, tmp_path, globals_state):
    des = BackupDescriptor("no-such-bucket-here", PREFIX, tmp_path / "b")
    with pytest.raises(BackupError) as info:
        S3BackupCmdV2(s3, des).download()
    assert "no-such-bucket-here" in str(info.value) and "\n" not in str(info.value)


def test_a_second_dry_run_in_one_process_starts_from_s3_again(s3, des, tmp_path,
                                                                globals_state):
    put(s3, "memento_history.json", b"real")
    globals_state.dry_run = True
    S3BackupCmdV2(s3, des).download()
    scratch = type(tmp_path)(des.getAbsolutePath())
    write(scratch, {"memento_history.json": b"dry", "extra.json": b"x"})
    S3BackupCmdV2(s3, des).download()
    assert folder_contents(scratch) == {"memento_history.json": b"real"}
    assert not [p for p in scratch.parent.iterdir() if ".kept-" in p.name]


# -- only what changed travels --------------------------------------------------------

def requests_sent(client) -> list[str]:
    """Every S3 operation the client sends from now on, by name."""
    sent = []
    client.meta.events.register("after-call.s3", lambda model, **kw: sent.append(model.name))
    return sent


def test_upload_stores_what_changed_deletes_what_is_gone_and_skips_the_rest(
        s3, des, tmp_path, globals_state):
    local = tmp_path / "backup"
    write(local, FILES)
    S3BackupCmdV2(s3, des).upload()
    (local / "rtb/rtb-1.json").write_bytes(b'{"routes": ["changed"]}')
    (local / "rtb/deep/rtb-2.json").unlink()
    put(s3, "rtb/rtb-3.json", b"changed in S3 by someone else")
    (local / "rtb/rtb-3.json").write_bytes(b"local")
    sent = requests_sent(s3)

    S3BackupCmdV2(s3, des).upload()

    assert sorted(sent) == ["DeleteObjects", "ListObjectsV2", "PutObject", "PutObject"]
    expected = {rel: body for rel, body in FILES.items() if rel != "rtb/deep/rtb-2.json"}
    expected["rtb/rtb-1.json"] = b'{"routes": ["changed"]}'
    expected["rtb/rtb-3.json"] = b"local"
    assert s3_contents(s3, PREFIX + "/") == {f"{PREFIX}/{k}": v for k, v in expected.items()}

    # A history is different: S3's copy moved on is never overwritten, nor deleted.
    put(s3, "command_history.json", FILES["command_history.json"] + b" ")
    (local / "command_history.json").write_bytes(FILES["command_history.json"] + b"\n")
    (local / "memento_history.json").unlink()
    with pytest.raises(BackupConflict):
        S3BackupCmdV2(s3, des).upload()
    assert s3_contents(s3, PREFIX + "/command_history.json") == {
        f"{PREFIX}/command_history.json": FILES["command_history.json"] + b" "}
    assert f"{PREFIX}/memento_history.json" in s3_contents(s3)


def test_a_locked_run_lists_once_and_fetches_only_what_changed(s3, des, tmp_path,
                                                               globals_state):
    for rel, body in FILES.items():
        put(s3, rel, body)
    with VpcLock(s3, des):
        S3BackupCmdV2(s3, des).download()
        sent = requests_sent(s3)
        S3BackupCmdV2(s3, des).download()  # a second download of the same run
        assert sent == []
        put(s3, "rtb/rtb-1.json", b"changed meanwhile")  # through the client: followed
        (tmp_path / "backup" / "new.json").write_bytes(b"new")
        S3BackupCmdV2(s3, des).download()
        S3BackupCmdV2(s3, des).upload()
        # The local copy of a differing file stays and is stored again; nothing is listed.
        assert sent == ["PutObject", "GetObject", "PutObject", "PutObject"]
    assert s3_contents(s3, PREFIX + "/")[f"{PREFIX}/rtb/rtb-1.json"] == FILES["rtb/rtb-1.json"]
    assert s3_contents(s3, PREFIX + "/")[f"{PREFIX}/new.json"] == b"new"


def test_a_change_without_an_answer_has_the_folder_listed_again(s3, des, tmp_path,
                                                                  globals_state):
    write(tmp_path / "backup", FILES)

    def no_answer(**kwargs):
        raise botocore.exceptions.EndpointConnectionError(endpoint_url="https://s3")

    with VpcLock(s3, des):
        S3BackupCmdV2(s3, des).download()
        s3.meta.events.register("before-call.s3.PutObject", no_answer, unique_id="no-answer")
        try:
            with pytest.raises(BackupUnavailable):
                S3BackupCmdV2(s3, des).store(str(tmp_path / "backup" / "rtb" / "rtb-1.json"))
        finally:
            s3.meta.events.unregister("before-call.s3.PutObject", unique_id="no-answer")
        sent = requests_sent(s3)
        S3BackupCmdV2(s3, des).upload()
        assert sent.count("ListObjectsV2") == 1
    assert s3_contents(s3, PREFIX + "/") == {f"{PREFIX}/{k}": v for k, v in FILES.items()}
