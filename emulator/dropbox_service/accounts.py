"""Accounts, and the view of a namespace that a request's path root names."""

import datetime
import json



class Account:
    def __init__(self, raw):
        try:
            self.token = str(raw["access_token"])
            self.account_id = str(raw.get("account_id") or "dbid:" + self.token[:16])
            self.root_ns = str(raw["root_namespace_id"])
            self.home_ns = str(raw.get("home_namespace_id") or self.root_ns)
        except (KeyError, TypeError) as exc:
            raise ValueError("account entry lacks %s" % exc) from None
        if not self.token or not self.root_ns.isdigit() or not self.home_ns.isdigit():
            raise ValueError("account %r: empty token or non-numeric namespace id" % self.account_id)
        self.is_team = self.root_ns != self.home_ns
        self.home_folder = str(raw.get("home_folder_name") or "") if self.is_team else ""
        if self.is_team and (not self.home_folder or "/" in self.home_folder):
            raise ValueError("team account %r needs a plain home_folder_name" % self.account_id)
        self.team_root_writable = bool(raw.get("team_root_writable", False))
        self.allocated = int(raw.get("allocated", 2 * 1024 ** 4))  # space allowance in bytes
        self.expiry = None
        if raw.get("token_expiry"):
            self.expiry = parse_time(str(raw["token_expiry"]))

    def root_info(self):
        info = {".tag": "team" if self.is_team else "user",
                "root_namespace_id": self.root_ns,
                "home_namespace_id": self.home_ns}
        if self.is_team:
            info["home_path"] = "/" + self.home_folder
        return info


def parse_time(text):
    text = text.strip()
    if text.endswith("Z"):
        text = text[:-1] + "+00:00"
    return datetime.datetime.fromisoformat(text).timestamp()


class View:
    """Where request paths point: the root namespace, or the home folder in it."""

    def __init__(self, account, home):
        self.account = account
        self.ns = account.root_ns
        self.prefix = [account.home_folder] if (home and account.is_team) else []
        self.is_team_root = account.is_team and not self.prefix

    def to_view(self, full):
        """Root-relative components -> view-relative components, or None."""
        n = len(self.prefix)
        if [c.lower() for c in full[:n]] != [c.lower() for c in self.prefix]:
            return None
        return full[n:]


def load_accounts(path):
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    raw = data.get("accounts") if isinstance(data, dict) else None
    if not isinstance(raw, list) or not raw:
        raise ValueError("%s: expected {\"accounts\": [...]}" % path)
    accounts = [Account(a) for a in raw]
    tokens = [a.token for a in accounts]
    if len(set(tokens)) != len(tokens):
        raise ValueError("%s: duplicate access tokens" % path)
    return accounts
