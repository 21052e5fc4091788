"""vesperkit.auth.shared_registry: one token file shared by several processes."""

import dataclasses
import json
import logging
import multiprocessing
import os
import stat
import time
from pathlib import Path

import pytest

import test_key_registry as single
from test_key_registry import KEY, clock, json_bytes, path, records  # noqa: F401  (fixtures)
from vesperkit.auth.key_registry import KeyRegistry
from vesperkit.auth.shared_registry import SharedKeyRegistry

SPAWN = multiprocessing.get_context("spawn")


@pytest.fixture
def registry(path):
    return SharedKeyRegistry(path)


# One process alone sees exactly what KeyRegistry gives.
class TestIssuingAlone(single.TestIssuing):
    pass


class TestValidationAlone(single.TestValidation):
    pass


class TestManagementAlone(single.TestManagement):
    test_update_with_nothing_still_saves = None  # a removed file is the truth here: see TestReload


class TestUnwritableAlone(single.TestUnwritable):
    pass


# --------------------------------------------------------------------------- workers
def issue_and_validate(path, key, count, results):
    reg = SharedKeyRegistry(path, key)
    issued = []
    for i in range(count):
        issued.append(reg.create_token(f"{os.getpid()}-{i}")[0])
        for api_key in (issued[-1], issued[i // 2]):
            assert reg.validate_token(api_key) is not None
    results.put(issued)


def follow_changes(path, keys, barrier, results):
    reg = SharedKeyRegistry(path)
    before = [reg.validate_token(k) is not None for k in keys]
    barrier.wait()  # another process revokes and deletes now
    barrier.wait()
    after = [reg.validate_token(k) is not None for k in keys]
    reg.create_token("written after the change")
    results.put((before, after))


class Stalling(SharedKeyRegistry):
    def _generate_key(self):
        self.holding.set()
        time.sleep(120)


def hold_the_lock(path, holding):
    reg = Stalling(path)
    reg.holding = holding
    reg.create_token("never stored")


def run(target, *args):
    process = SPAWN.Process(target=target, args=args)
    process.start()
    return process


# --------------------------------------------------------------------------- processes
class TestSeveralProcesses:
    @pytest.mark.parametrize("key, count", [("", 50), (KEY, 20)], ids=["plain", "encrypted"])
    def test_every_issued_key_is_kept_and_the_file_always_parses(self, path, key, count):
        results = SPAWN.Queue()
        workers = [run(issue_and_validate, path, key, count, results) for _ in range(3)]
        reads = 0
        while any(w.is_alive() for w in workers):
            if os.path.exists(path):
                KeyRegistry(path, key or None)  # raises on a torn file
                reads += 1
            time.sleep(0.002)
        assert [w.exitcode for w in workers] == [0, 0, 0] and reads > 0
        issued = [k for _ in workers for k in results.get(timeout=10)]  # a few KB: never blocks an exit
        fresh = KeyRegistry(path, key or None)
        assert len(fresh.tokens) == len(issued) == 3 * count
        assert all(fresh.validate_token(k) is not None for k in issued)

    def test_revoked_and_deleted_keys_are_refused_everywhere_and_stay_gone(self, path):
        reg = SharedKeyRegistry(path)
        (kept, _), (revoked, r), (deleted, d) = (reg.create_token(n) for n in "krd")
        barrier, results = SPAWN.Barrier(4), SPAWN.Queue()
        workers = [run(follow_changes, path, [kept, revoked, deleted], barrier, results) for _ in range(3)]
        barrier.wait()
        assert reg.revoke_token(r.token_id) and reg.delete_token(d.token_id)
        barrier.wait()
        assert [results.get(timeout=60) for _ in workers] == [([True] * 3, [True, False, False])] * 3
        for w in workers:
            w.join()
        stored = json.loads(Path(path).read_text("utf-8"))
        assert d.token_id not in stored and stored[r.token_id]["is_active"] is False
        assert len(stored) == 5

    def test_a_worker_killed_holding_the_lock_blocks_no_one(self, path, caplog):
        reg = SharedKeyRegistry(path)
        key, token = reg.create_token("n")
        holding = SPAWN.Event()
        holder = run(hold_the_lock, path, holding)
        assert holding.wait(60)
        before = Path(path).read_bytes()
        reg.LOCK_TIMEOUT = 0.2
        with pytest.raises(TimeoutError):
            reg.create_token("n")
        # Past the wait, a save fails as any failed save does: logged, nothing written.
        assert reg.validate_token(key) is token
        assert reg.revoke_token(token.token_id) is False and token.is_active
        assert Path(path).read_bytes() == before
        errors = records(caplog, logging.ERROR)
        assert [r.msg for r in errors] == ["Error saving tokens: %s"] * 3
        assert isinstance(errors[0].args[0], TimeoutError)
        holder.kill()
        holder.join()
        assert reg.revoke_token(token.token_id) is True
        assert [t.name for t in KeyRegistry(path).tokens.values()] == ["n"]


# --------------------------------------------------------------------------- one process's view
def regenerate(other, token, key):
    other.new_key = other.regenerate_key(token.token_id)


@pytest.mark.parametrize(
    "change, then",
    [
        (lambda b, t, k: b.create_token("elsewhere"),
         lambda a, t, k, b: len(a.list_tokens()) == 2 and a.get_token(t.token_id)._request_timestamps),
        (lambda b, t, k: b.validate_token(k),
         lambda a, t, k, b: a.get_token(t.token_id).last_used == b.get_token(t.token_id).last_used),
        (lambda b, t, k: b.revoke_token(t.token_id),
         lambda a, t, k, b: a.validate_token(k) is None and a.list_tokens(True)[0].is_active is False),
        (lambda b, t, k: b.delete_token(t.token_id),
         lambda a, t, k, b: a.validate_token(k) is None and a.get_token(t.token_id) is None),
        # The window of two requests is kept, so the lowered limit applies at once.
        (lambda b, t, k: b.update_token(t.token_id, name="renamed", rate_limit=2),
         lambda a, t, k, b: a.validate_token(k) is None and a.get_token(t.token_id).name == "renamed"),
        (regenerate,
         lambda a, t, k, b: a.validate_token(k) is None
         and len(a.validate_token(b.new_key)._request_timestamps) == 3),
        (lambda b, t, k: os.remove(b.tokens_file), lambda a, t, k, b: a.list_tokens(True) == []),
    ],
    ids=["issued", "validated", "revoked", "deleted", "updated", "regenerated", "file removed"],
)
def test_a_change_made_elsewhere_is_seen_at_the_next_call(path, change, then):
    a, b = SharedKeyRegistry(path), SharedKeyRegistry(path)
    key, token = a.create_token("n", rate_limit=5)
    assert a.validate_token(key) and a.validate_token(key)
    held = dataclasses.replace(token, _request_timestamps=list(token._request_timestamps))
    change(b, token, key)
    assert then(a, token, key, b)
    assert token == held  # a Token the caller holds keeps its values


@pytest.mark.parametrize("key", ["", KEY], ids=["plain", "encrypted"])
def test_either_class_opens_what_the_other_wrote(path, key):
    shared = SharedKeyRegistry(path, key)
    api_key, token = shared.create_token("Zoë", metadata={"team": "core"})
    if not key:
        assert Path(path).read_bytes() == json_bytes(shared)
    single_reg = KeyRegistry(path, key or None)
    assert single_reg.tokens == shared.tokens
    single_reg.revoke_token(token.token_id)
    assert shared.validate_token(api_key) is None
    assert stat.S_IMODE(os.stat(path + ".lock").st_mode) == 0o600
