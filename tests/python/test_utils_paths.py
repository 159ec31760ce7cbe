"""utils.get_known_path and utils.expand_env_path under a private HOME and XDG_CONFIG_HOME.

Both read the environment (and user-dirs.dirs) at each call and cache nothing, so patching this process's
environment is enough; Debian's xdg-user-dir, run with the same environment, is the reference for the user
directories."""

import os
import shutil
import subprocess

import pytest

from quorvel import utils

pytestmark = pytest.mark.asan  # also run against the AddressSanitizer build

USER_DIRS = {  # xdg-user-dir's name -> known-folder identifier
    "DESKTOP": "{B4BFCC3A-DB2C-424C-B029-7FE99A87C641}",
    "DOCUMENTS": "{FDD39AD0-238F-46AF-ADB4-6C85480369C7}",
    "DOWNLOAD": "{374DE290-123F-4565-9164-39C4925E467B}",
    "MUSIC": "{4BD8D571-6D19-48D3-BE97-422220080E43}",
    "PICTURES": "{33E28130-4E1E-4676-835A-98395C3BC3BB}",
    "VIDEOS": "{18989B1D-99B5-455B-841C-AB7C74E4DDFC}",
    "TEMPLATES": "{A63293E8-664E-48DB-A079-DF759E0509F7}",
    "PUBLICSHARE": "{DFDF76A2-C82A-4D63-906A-5644AC457385}",
}
PROFILE = "{5E6C858F-0E22-4760-9AFE-EA3317B67173}"
ROAMING_APP_DATA = "{3EB685DB-65F9-4CF6-A03A-E3EF65729F3D}"

# What xdg-user-dirs-update writes for a user whose folders are localized; the others are left unset.
LOCALIZED = {
    "DESKTOP": '"$HOME/Schreibtisch"',
    "DOCUMENTS": '"$HOME/Documentos"',
    "MUSIC": '"$HOME/M\u00fasica"',
    "PICTURES": '"$HOME/\u0418\u0437\u043e\u0431\u0440\u0430\u0436\u0435\u043d\u0438\u044f"',
    "PUBLICSHARE": '"{tmp}/shared \\"space\\""',
}


@pytest.fixture(params=["localized", "no user-dirs.dirs"])
def home(request, tmp_path, monkeypatch):
    home = tmp_path / "h\u00f6me"
    config = tmp_path / "config"
    home.mkdir()
    config.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(config))
    (home / "Desktop").mkdir()
    if request.param == "localized":
        lines = ["# written by xdg-user-dirs-update"]
        lines += [f"XDG_{name}_DIR={value.format(tmp=tmp_path)}" for name, value in LOCALIZED.items()]
        (config / "user-dirs.dirs").write_text("\n".join(lines) + "\n", encoding="utf-8")
        for name in LOCALIZED:
            os.makedirs(xdg_user_dir(name), exist_ok=True)
    return home


def xdg_user_dir(name):
    env = {key: os.environ[key] for key in ("HOME", "XDG_CONFIG_HOME", "PATH")}  # no sanitizer preload
    out = subprocess.run([shutil.which("xdg-user-dir"), name], env=env, capture_output=True, check=True).stdout
    return os.fsdecode(out.rstrip(b"\n"))


@pytest.mark.skipif(shutil.which("xdg-user-dir") is None, reason="xdg-user-dirs is not installed")
def test_user_directories_are_those_of_xdg_user_dir(home):
    for name, guid in USER_DIRS.items():
        assert utils.get_known_path(guid) == xdg_user_dir(name), name
        assert utils.get_known_path(guid.lower()) == xdg_user_dir(name), name
    if (home.parent / "config" / "user-dirs.dirs").exists():
        assert utils.get_known_path(USER_DIRS["MUSIC"]) == str(home / "M\u00fasica")
        assert utils.get_known_path(USER_DIRS["PUBLICSHARE"]) == str(home.parent / 'shared "space"')
    assert utils.get_known_path(known_path_clsid=PROFILE) == str(home)
    assert utils.get_known_path(ROAMING_APP_DATA) == os.environ["XDG_CONFIG_HOME"]


def test_a_missing_folder_gives_the_empty_string(home):
    desktop = utils.get_known_path(USER_DIRS["DESKTOP"])
    assert desktop.startswith(str(home))
    os.rmdir(desktop)
    assert utils.get_known_path(USER_DIRS["DESKTOP"]) == ""


@pytest.mark.parametrize("text", [
    "", "Documents", "FDD39AD0-238F-46AF-ADB4-6C85480369C7", "{FDD39AD0-238F-46AF-ADB4-6C85480369C7} ",
    "{FDD39AD0-238F-46AF-ADB4-6C85480369C}", "\0" + PROFILE,
    "{00000000-0000-0000-0000-000000000000}", "{F38BF404-1D43-42F2-9305-67DE0B28FC23}",  # no folder here
])
def test_non_guids_and_unknown_guids_give_the_empty_string(text):
    assert utils.get_known_path(text) == ""


def test_get_known_path_refuses_none():
    with pytest.raises(TypeError):
        utils.get_known_path(None)


@pytest.mark.parametrize("length", [1, 259, 260, 519, 520, 5000])
def test_a_path_without_references_comes_back_whole(length):
    path = ("C:\\Games\\\u00e9t\u00e9 \U0001d11e 50%" * 400)[:length]
    assert utils.expand_env_path(path) == path


def test_expansion(monkeypatch):
    monkeypatch.setenv("QV_DIR", "/srv/g\u00e4mes")
    monkeypatch.setenv("QV_LONG", "x" * 100000)
    monkeypatch.delenv("QV_UNSET", raising=False)
    assert utils.expand_env_path(None) == ""
    assert utils.expand_env_path("") == ""
    assert utils.expand_env_path(path="%QV_DIR%/save") == "/srv/g\u00e4mes/save"
    assert utils.expand_env_path("%QV_UNSET%/%QV_DIR%") == "%QV_UNSET%//srv/g\u00e4mes"
    assert utils.expand_env_path("%QV_DIR%\0%QV_DIR%") == "/srv/g\u00e4mes"
    assert utils.expand_env_path("%QV_LONG%") == "x" * 100000
    monkeypatch.setenv("QV_DIR", "/changed")
    assert utils.expand_env_path("%QV_DIR%") == "/changed"


def test_a_value_that_is_not_unicode_comes_back_as_os_fsdecode_gives_it(monkeypatch):
    monkeypatch.setitem(os.environb, b"QV_BYTES", b"/g\xffames")
    assert utils.expand_env_path("%QV_BYTES%") == os.fsdecode(b"/g\xffames")
