"""Loading and checking the YAML configuration."""

import os
import re
from pathlib import Path

import pytest
import yaml

from awsconf_fixtures import MINIMAL, globals_state, write_config  # noqa: F401
from morvent.core import config as config_module, schema
from morvent.core.ConfigAdaptor import ConfigAdaptor
from morvent.core.backup import FILE_NAME_ROOM, S3_KEY_LIMIT, BackupDescriptor
from morvent.core.config import ConfigError, load_config

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "morvent.yaml"


def load_error(path) -> ConfigError:
    with pytest.raises(ConfigError) as info:
        load_config(path)
    return info.value


def assert_one_line(error: ConfigError, path, key):
    text = str(error)
    assert "\n" not in text
    assert text.startswith(str(path))
    if key is not None:
        assert error.key == key
        assert f": {key}: " in text


def test_minimal_file_gets_defaults(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
    cfg = load_config(write_config(tmp_path))
    assert cfg.vpc_id == MINIMAL["vpc_id"]
    assert (cfg.spoke_gw_size, cfg.hs_mode, cfg.enable_test, cfg.accept_address_changes) == \
        (None, 0, False, False)
    assert cfg.s3_prefix == "morvent"
    assert cfg.work_dir == str(tmp_path / "state" / "morvent")


@pytest.mark.parametrize("typo, suggestion", [
    ("vpcid", "vpc_id"),
    ("regoin", "region"),
    ("s3bucket", "s3_bucket"),
    ("spoke_gw_sise", "spoke_gw_size"),
    ("enable_tests", "enable_test"),
    ("hs_mod", "hs_mode"),
    ("controller_pasword_env", "controller_password_env"),
    ("Controller_IP", "controller_ip"),
    ("work-dir", "work_dir"),
    ("colour", None),
])
def test_unknown_key_is_named_with_a_suggestion(tmp_path, typo, suggestion):
    path = write_config(tmp_path, **{typo: "x"})
    error = load_error(path)
    assert_one_line(error, path, typo)
    assert "unknown key" in str(error)
    if suggestion:
        assert f"did you mean '{suggestion}'" in str(error)
    else:
        assert "did you mean" not in str(error)


def test_typo_of_a_required_key_reports_the_typo_not_the_missing_key(tmp_path):
    text = yaml.safe_dump({**{k: v for k, v in MINIMAL.items() if k != "vpc_id"},
                           "vpcid": MINIMAL["vpc_id"]})
    error = load_error(write_config(tmp_path, text))
    assert error.key == "vpcid" and "vpc_id" in str(error)


@pytest.mark.parametrize("key", sorted(MINIMAL))
@pytest.mark.parametrize("how", ["absent", "empty"])
def test_required_key(tmp_path, key, how):
    if how == "absent":
        path = write_config(tmp_path, **{key: None})
    else:
        path = write_config(tmp_path, yaml.safe_dump(MINIMAL).replace(
            f"{key}: {yaml.safe_dump(MINIMAL[key]).splitlines()[0]}", f"{key}:"))
    error = load_error(path)
    assert_one_line(error, path, key)
    assert ("is missing" if how == "absent" else "has no value") in str(error)


@pytest.mark.parametrize("line, key, words", [
    ("hs_mode: '2'", "hs_mode", "whole number"),
    ("hs_mode: true", "hs_mode", "whole number"),
    ("hs_mode: 1.5", "hs_mode", "whole number"),
    ("enable_test: 'true'", "enable_test", "true or false"),
    ("tag_route_table: 1", "tag_route_table", "true or false"),
    ("spoke_gw_name: 123", "spoke_gw_name", "put it in quotes"),
    ("controller_ip: 10.1", "controller_ip", "put it in quotes"),
    ("vpc_id: [vpc-0123456789abcdef0]", "vpc_id", "got a list"),
    ("region: {name: eu-central-1}", "region", "got a mapping"),
])
def test_wrong_type(tmp_path, line, key, words):
    text = "\n".join(f"{k}: {v}" for k, v in MINIMAL.items() if k != key) + "\n" + line + "\n"
    path = write_config(tmp_path, text)
    error = load_error(path)
    assert_one_line(error, path, key)
    assert words in str(error)


@pytest.mark.parametrize("key, value", [
    ("vpc_id", "vpc-0123"),
    ("vpc_id", "vpc-0123456789ABCDEF0"),
    ("vpc_id", "subnet-0123456789abcdef0"),
    ("region", "eu-central"),
    ("region", "EU-CENTRAL-1"),
    ("s3_bucket", "My_Bucket"),
    ("s3_bucket", "a" * 64),
    ("s3_bucket", "bucket..name"),
    ("s3_bucket", "192.168.1.10"),
    ("controller_ip", "https://10.0.0.1"),
    ("controller_ip", "10.0.0.1/v1/api"),
    ("controller_ip", "10.0.0.1:99999"),
    ("controller_ip", "ctrl host"),
    ("spoke_gw_name", "spoke gw"),
    ("spoke_gw_name", "s" * 51),
    ("spoke_gw_size", "large"),
    ("hs_mode", 3),
    ("controller_password_env", "s3cr3t pass!"),
    ("controller_user", " admin"),
    ("aws_account_name", "prod account"),
    ("aws_account_number", "1234-5678-9012"),
    ("aws_role_app", "corvane-role-app"),
    ("aws_endpoint_url", "127.0.0.1:5000"),
    ("s3_prefix", "/morvent"),
    ("s3_prefix", "a/../b"),
])
def test_malformed_value(tmp_path, key, value):
    path = write_config(tmp_path, **{key: value})
    error = load_error(path)
    assert_one_line(error, path, key)


@pytest.mark.parametrize("key, value", [
    ("controller_ip", "ctrl.example.com"),
    ("controller_ip", "127.0.0.1:8443"),
    ("controller_ip", "[::1]:8443"),
    ("region", "us-gov-west-1"),
    ("s3_bucket", "my.backups-01"),
    ("spoke_gw_size", "c5n.2xlarge"),
    ("s3_prefix", "team/net/morvent/"),
    ("aws_role_ec2", "arn:aws-cn:iam::123456789012:role/path/ec2-role"),
])
def test_accepted_value(tmp_path, key, value):
    cfg = load_config(write_config(tmp_path, **{key: value}))
    assert getattr(cfg, key) == value.rstrip("/")


def test_password_in_file_is_refused_without_echoing_it(tmp_path):
    path = write_config(tmp_path, controller_password="hunter2-secret")
    error = load_error(path)
    assert_one_line(error, path, "controller_password")
    assert "environment variable" in str(error)
    assert "hunter2-secret" not in str(error)


@pytest.mark.parametrize("text, words", [
    ("", "empty"),
    ("# only a comment\n", "empty"),
    ("- vpc_id: vpc-0123456789abcdef0\n", "top level"),
    ("just text\n", "top level"),
    ("vpc_id: [unclosed\n", "not valid YAML"),
    ("vpc_id: 'x\n", "not valid YAML"),
    ("\tvpc_id: x\n", "not valid YAML"),
])
def test_unreadable_file_content(tmp_path, text, words):
    path = write_config(tmp_path, text)
    error = load_error(path)
    assert "\n" not in str(error) and str(error).startswith(str(path))
    assert words in str(error)


def test_key_given_twice_is_refused(tmp_path):
    # YAML itself would silently keep the second value.
    text = yaml.safe_dump(MINIMAL, sort_keys=False) + "vpc_id: vpc-0000000011111111a\n"
    path = write_config(tmp_path, text)
    error = load_error(path)
    assert_one_line(error, path, "vpc_id")
    assert "twice" in str(error) and "line" in str(error)


@pytest.mark.parametrize("make", [
    lambda tmp: tmp / "absent.yaml",
    lambda tmp: tmp,
    lambda tmp: (tmp / "latin1.yaml").write_bytes(b"vpc_id: \xe9\n") and tmp / "latin1.yaml",
])
def test_unreadable_file(tmp_path, make):
    path = make(tmp_path)
    error = load_error(path)
    assert "\n" not in str(error) and str(error).startswith(str(path))


@pytest.mark.parametrize("value, expected", [
    ("'012345678901'", "012345678901"),
    ("123456789012", "123456789012"),
    # YAML reads this as an octal number; using it would name another account.
    ("012345670123", None),
])
def test_account_number_forms(tmp_path, value, expected):
    path = write_config(tmp_path, yaml.safe_dump(MINIMAL) + f"aws_account_number: {value}\n")
    if expected:
        assert load_config(path).aws_account_number == expected
    else:
        assert "in quotes" in str(load_error(path))


def test_test_files_required_and_resolved_relative_to_the_file(tmp_path, monkeypatch):
    conf = tmp_path / "conf"
    conf.mkdir()
    (conf / "in.json").write_text("{}")
    monkeypatch.chdir(tmp_path)
    error = load_error(write_config(conf, enable_test=True, input_test_config="in.json"))
    assert error.key == "output_test_config" and "enable_test" in str(error)

    error = load_error(write_config(conf, enable_test=True, input_test_config="missing.json",
                                    output_test_config="out.json"))
    assert error.key == "input_test_config" and "does not exist" in str(error)

    cfg = load_config(write_config(conf, enable_test=True, input_test_config="in.json",
                                   output_test_config="out.json", work_dir="work"))
    assert cfg.input_test_config == str(conf / "in.json")
    assert cfg.output_test_config == str(conf / "out.json")
    assert cfg.work_dir == str(conf / "work")


def test_example_covers_every_key_and_loads(monkeypatch, tmp_path):
    text = EXAMPLE.read_text()
    data = yaml.safe_load(text)
    # Shown commented out: a key whose value must name an existing file, the
    # AWS access keys that only suit some setups (a simulated cloud's
    # endpoint must never reach a real run by copying the example), and the
    # certificate pin, which `morvent trust-controller` writes.
    commented = set(re.findall(r"^#(\w+): ", text, re.MULTILINE))
    assert set(data) | commented == set(config_module._KEYS) - set(config_module._RETIRED)
    paths = {k for k, rule in config_module._KEYS.items() if rule.path}
    assert commented <= paths | {"aws_profile", "aws_endpoint_url", "controller_cert_sha256"}
    cfg = load_config(EXAMPLE)
    assert cfg.vpc_id.startswith("vpc-")
    assert (cfg.aws_profile, cfg.aws_endpoint_url) == (None, None)
    # Each commented value is a valid one once the line is taken in.
    shown = re.sub(r"^#(\w+): ", lambda m: m[0] if m[1] in paths else f"{m[1]}: ", text,
                   flags=re.MULTILINE)
    uncommented = load_config(write_config(tmp_path, shown))
    assert uncommented.aws_profile and uncommented.aws_endpoint_url
    assert uncommented.controller_cert_sha256


@pytest.mark.parametrize("value, warned", [(True, True), (False, False)])
def test_a_retired_key_still_loads_and_says_it_does_nothing(tmp_path, caplog, value, warned):
    with caplog.at_level("WARNING", logger="morvent.core.config"):
        cfg = load_config(write_config(tmp_path, tag_route_table=value))
    assert ConfigAdaptor(cfg).tag_route_table is False
    assert any("tag_route_table is no longer used" in r.getMessage()
               for r in caplog.records) == warned


def test_adaptor_attributes_and_backup_location(tmp_path, globals_state):
    cfg = load_config(write_config(tmp_path, s3_prefix="team/morvent/", work_dir="w",
                                   spoke_gw_size="t3.large", hs_mode=2))
    ca = ConfigAdaptor(cfg)
    for name in ("controller_password_env", "controller_ip", "controller_user", "vpc_id",
                 "hs_mode", "enable_test", "input_test_config",
                 "output_test_config", "s3_bucket", "aws_account_name", "spoke_gw_name",
                 "spoke_gw_size", "region"):
        assert getattr(ca, name) == getattr(cfg, name), name
    des = ca.backup_descriptor
    assert des.bucket == MINIMAL["s3_bucket"]
    assert des.folder_key == "team/morvent/prod-acct/eu-central-1/vpc-0123456789abcdef0/"
    assert des.lock_key == "team/morvent/prod-acct/eu-central-1/vpc-0123456789abcdef0.lock"
    assert des.getAbsolutePath() == str(tmp_path / "w" / "prod-acct" / "eu-central-1" /
                                        "vpc-0123456789abcdef0")


def test_adaptor_checks_a_mapping():
    with pytest.raises(ConfigError, match="vpcid"):
        ConfigAdaptor({**MINIMAL, "vpcid": "x"})


def test_dry_run_uses_a_scratch_folder(tmp_path, globals_state):
    des = BackupDescriptor("b", "p/vpc-1", tmp_path / "real")
    globals_state.dry_run = True
    scratch = des.getAbsolutePath()
    assert scratch != des.local_folder and os.path.isdir(scratch)
    # The same folder for every descriptor of the VPC in this process.
    assert BackupDescriptor("b", "p/vpc-1", tmp_path / "real").getAbsolutePath() == scratch
    globals_state.dry_run = False
    assert des.getAbsolutePath() == str(tmp_path / "real")
    assert not (tmp_path / "real").exists()


# -- controller requests: timeout and certificate check ------------------------------

PEM = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"


@pytest.mark.parametrize("value, timeouts", [
    (None, (15.0, 900.0)),
    (1800, (15.0, 1800.0)),
    (20.5, (15.0, 20.5)),
    (5, (5.0, 5.0)),  # the connect timeout never exceeds the read timeout
])
def test_controller_timeout(tmp_path, value, timeouts):
    ca = ConfigAdaptor(load_config(write_config(tmp_path, controller_timeout=value)))
    assert ca.controller_timeout == timeouts
    assert ca.controller_verify is False and ca.controller_ca_bundle is None


@pytest.mark.parametrize("line, words", [
    ("controller_timeout: 0", "above 0"),
    ("controller_timeout: -30", "above 0"),
    ("controller_timeout: .inf", "above 0"),
    ("controller_timeout: .nan", "above 0"),
    ("controller_timeout: '900'", "expected a number, got text (a plain number"),
    ("controller_timeout: 15m", "expected a number, got text"),
    ("controller_timeout: true", "expected a number"),
    ("controller_timout: 900", "did you mean 'controller_timeout'"),
    ("controller_ca_bundel: ca.pem", "did you mean 'controller_ca_bundle'"),
    ("controller_ca_bundle: missing.pem", "does not exist"),
    ("controller_ca_bundle: .", "is a folder"),
    ("controller_ca_bundle: not-pem.txt", "holds no PEM certificate"),
    ("controller_ca_bundle: ''", "must not be blank"),
    ("controller_ca_bundle: 5", "put it in quotes"),
])
def test_controller_request_keys_refused(tmp_path, line, words):
    (tmp_path / "not-pem.txt").write_text("just text\n")
    path = write_config(tmp_path, yaml.safe_dump(MINIMAL) + line + "\n")
    error = load_error(path)
    assert_one_line(error, path, line.split(":")[0])
    assert words in str(error)


def test_ca_bundle_is_found_relative_to_the_file_and_verifies(tmp_path, monkeypatch):
    conf = tmp_path / "conf"
    conf.mkdir()
    (conf / "ca.pem").write_text("# the controller's CA\n" + PEM)
    monkeypatch.chdir(tmp_path)
    cfg = load_config(write_config(conf, controller_ca_bundle="ca.pem"))
    assert cfg.controller_ca_bundle == str(conf / "ca.pem")
    ca = ConfigAdaptor(cfg)
    assert ca.controller_verify == ca.controller_ca_bundle == str(conf / "ca.pem")


# -- every problem at once, at its line ------------------------------------------------

def test_every_problem_is_reported_at_once_with_its_line(tmp_path):
    text = "\n".join([
        "controller_ip: 127.0.0.1:8443",             # 1
        "controller_user: admin",                    # 2
        "controller_password_env: PW",               # 3
        "vpc_id: vpc-12",                            # 4  malformed
        "regoin: eu-central-1",                      # 5  typo (region is then not "missing")
        "s3_bucket: Bad_Bucket",                     # 6  malformed
        "hs_mode: '2'",                              # 7  wrong type
        "spoke_gw_name: spoke",                      # 8
        "hs_mode: 1",                                # 9  given twice
        "controller_password: hunter2",              # 10 forbidden, value never shown
    ]) + "\n"
    path = write_config(tmp_path, text)
    error = load_error(path)
    assert [(p.where.line, p.key) for p in error.problems] == [
        (4, "vpc_id"), (5, "regoin"), (6, "s3_bucket"), (7, "hs_mode"), (9, "hs_mode"),
        (10, "controller_password"), (None, "aws_account_name")]
    lines = str(error).splitlines()
    assert lines[0].startswith(f"{path}:4: vpc_id: 'vpc-12' is not a VPC id")
    assert lines[4] == f"{path}:9: hs_mode: given twice (lines 7 and 9)"
    assert lines[-1] == f"{path}: aws_account_name: required key is missing"
    assert "hunter2" not in str(error)
    assert (error.key, error.line) == ("vpc_id", 4)


HUGE = 1 << 20


@pytest.mark.parametrize("key, value", [
    ("vpc_id", "vpc-" + "a" * HUGE),
    ("s3_bucket", "b" * HUGE),
    ("s3_prefix", "p" * HUGE),
    ("region", "eu-" + "a" * 200 + "-1"),          # matches the name pattern
    ("controller_user", "u" * HUGE),
    ("aws_profile", "x" * HUGE),
    ("controller_ip", "h" * HUGE),
    ("spoke_gw_name", "bad\x1b[2J\nname"),          # terminal control characters
    ("region", "\u202eeu-central-1"),                # text that reads backwards
    ("v" * HUGE, "an unknown key of a megabyte"),
])
def test_hostile_values_give_a_short_escaped_line(tmp_path, key, value):
    path = write_config(tmp_path, yaml.safe_dump({**MINIMAL, key: value}, width=HUGE * 2))
    error = load_error(path)
    (line,) = str(error).splitlines()
    assert len(line) < len(str(path)) + 200
    assert line.isprintable() and "\x1b" not in line


@pytest.mark.parametrize("text, words", [
    ("hs_mode: " + "9" * 5000, "not valid YAML"),    # more digits than Python reads
    ("work_dir: 2024-13-45", "not valid YAML"),     # a date that does not exist
    ("vpc_id: " + "[" * 20000 + "]" * 20000, "not valid YAML"),
    ("? [a, b]\n: x", "not valid YAML"),            # a key that is a list
])
def test_yaml_the_loader_refuses_is_one_line(tmp_path, text, words):
    error = load_error(write_config(tmp_path, text + "\n"))
    assert words in str(error) and "\n" not in str(error) and len(str(error)) < 400


def test_a_file_far_larger_than_a_configuration_is_refused_unread(tmp_path):
    path = tmp_path / "big.yaml"
    path.write_bytes(b"# " + b"x" * (schema.MAX_DOCUMENT_BYTES + 10) + b"\n")
    assert "larger than" in str(load_error(path))


def _prefix_room(**changes):
    """The longest s3_prefix accepted with MINIMAL (and ``changes``)."""
    folder = "/".join([(MINIMAL | changes)["aws_account_name"], MINIMAL["region"],
                       MINIMAL["vpc_id"]]) + "/"
    return S3_KEY_LIMIT - FILE_NAME_ROOM - len(folder) - 1


@pytest.mark.parametrize("account", ["prod-acct", "a" * 64])
def test_the_longest_s3_key_stays_within_what_s3_stores(tmp_path, account):
    room = _prefix_room(aws_account_name=account)
    ok = load_config(write_config(tmp_path, aws_account_name=account, s3_prefix="p" * room))
    des = ConfigAdaptor(ok).backup_descriptor
    assert des.longest_key == S3_KEY_LIMIT
    error = load_error(write_config(tmp_path, aws_account_name=account,
                                    s3_prefix="p" * (room + 1)))
    assert error.key == "s3_prefix" and f"at most {room:,} characters" in str(error)
    # Folders count, and a trailing '/' is not part of the prefix.
    assert load_config(write_config(tmp_path, aws_account_name=account,
                                    s3_prefix="a/" * (room // 2) + "/"))


@pytest.mark.parametrize("value, ok", [(86400, True), (86400.5, False), (1e300, False)])
def test_controller_timeout_is_at_most_a_day(tmp_path, value, ok):
    path = write_config(tmp_path, controller_timeout=value)
    if ok:
        assert load_config(path).controller_timeout == value
    else:
        assert "more than a day" in str(load_error(path))


# -- reading documents for other callers -------------------------------------------------

def test_documents_know_where_each_key_was_written(tmp_path):
    path = tmp_path / "fleet.yaml"
    path.write_text("defaults: &d\n"
                    "  region: eu-west-1\n"
                    "  hs_mode: 0\n"
                    "vpcs:\n"
                    "  - <<: *d\n"
                    "    hs_mode: 2\n"        # overrides the merged value: not "twice"
                    "    vpc_id: vpc-1\n"
                    "  - include: other.yaml\n")
    problems = schema.Problems()
    doc = schema.read_document(path, problems)
    assert not problems
    first, second = doc["vpcs"]
    assert first == {"region": "eu-west-1", "hs_mode": 2, "vpc_id": "vpc-1"}
    assert first.duplicates == []
    assert [str(first.at(k)) for k in ("region", "hs_mode", "vpc_id")] == \
        [f"{path}:2", f"{path}:6", f"{path}:7"]
    assert str(doc["vpcs"].at(1)) == f"{path}:8" and second.where.line == 8
    # Shared defaults under an entry, options over both: each key keeps its place.
    option = schema.Document({"region": "us-east-1"}, schema.Where("--region"))
    merged = doc["defaults"].layered(second, option)
    assert [str(merged.at(k)) for k in ("hs_mode", "include", "region")] == \
        [f"{path}:3", f"{path}:8", "--region"]


def test_a_configuration_layered_from_two_files_finds_paths_and_problems_in_each(tmp_path):
    (tmp_path / "vpcs").mkdir()
    shared = tmp_path / "fleet.yaml"
    shared.write_text(yaml.safe_dump({k: v for k, v in MINIMAL.items() if k != "vpc_id"})
                      + "work_dir: state\n")
    entry = tmp_path / "vpcs" / "one.yaml"
    entry.write_text("vpc_id: vpc-0123456789abcdef0\noutput_test_config: out.json\n"
                     "hs_mode: 5\n")
    problems = schema.Problems()
    merged = schema.read_document(shared, problems).layered(
        schema.read_document(entry, problems))
    values = config_module.check_config(merged, problems, str(shared), tmp_path)
    assert [str(p) for p in problems] == [
        f"{entry}:3: hs_mode: 5 is not a mode: use 0 (capped plan), 1 (first two only) or 2 "
        "(all)"]
    assert values["work_dir"] == str(tmp_path / "state")
    assert values["output_test_config"] == str(tmp_path / "vpcs" / "out.json")
