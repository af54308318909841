"""The endpoints, their kinds, and the checks of their arguments."""

import re
import time

from .protocol import TIME_FORMAT, TIME_RE, BadRequest



def _void_union(value, choices, field):
    if isinstance(value, str):
        tag = value
    elif isinstance(value, dict) and isinstance(value.get(".tag"), str):
        tag = value[".tag"]
    else:
        raise BadRequest("%s: expected a union tag" % field)
    if tag not in choices:
        raise BadRequest("%s: unknown tag '%s'" % (field, tag))
    return tag


def check_args(obj, schema, where="request body"):
    if not isinstance(obj, dict):
        raise BadRequest("%s: expected object, got %s" % (where, type(obj).__name__))
    for key in obj:
        if key not in schema:
            raise BadRequest('%s: unknown field "%s"' % (where, key))
    for key, (kind, required) in schema.items():
        if key not in obj:
            if required:
                raise BadRequest('%s: missing required field "%s"' % (where, key))
            continue
        v = obj[key]
        field = "%s: %s" % (where, key)
        if kind == "str":
            if not isinstance(v, str):
                raise BadRequest("%s: expected string" % field)
        elif kind == "bool":
            if not isinstance(v, bool):
                raise BadRequest("%s: expected boolean" % field)
        elif kind == "uint":
            if not isinstance(v, int) or isinstance(v, bool) or v < 0:
                raise BadRequest("%s: expected unsigned integer" % field)
        elif kind == "limit":
            if not isinstance(v, int) or isinstance(v, bool) or not 1 <= v <= 2000:
                raise BadRequest("%s: %r is not in range 1..2000" % (field, v))
        elif kind == "time":
            if not isinstance(v, str) or not TIME_RE.match(v):
                raise BadRequest("%s: time data %r does not match format '%s'" % (field, v, TIME_FORMAT))
            try:
                time.strptime(v, TIME_FORMAT)
            except ValueError:
                raise BadRequest("%s: invalid time %r" % (field, v)) from None
        elif kind == "hash":
            if not isinstance(v, str) or not re.match(r"^[0-9a-f]{64}$", v):
                raise BadRequest("%s: expected 64 lowercase hex digits" % field)
        elif kind == "mode":
            if isinstance(v, dict) and v.get(".tag") == "update":
                if not isinstance(v.get("update"), str) or set(v) - {".tag", "update"}:
                    raise BadRequest("%s: update needs a rev" % field)
                obj[key] = ("update", v["update"])
            else:
                obj[key] = (_void_union(v, ("add", "overwrite"), field), None)
        elif kind == "list":
            if not isinstance(v, list):
                raise BadRequest("%s: expected list" % field)
        elif kind == "session_type":
            obj[key] = _void_union(v, ("sequential", "concurrent"), field)
        elif kind == "revisions_mode":
            obj[key] = _void_union(v, ("path", "id"), field)
        elif kind == "revisions_limit":
            if not isinstance(v, int) or isinstance(v, bool) or not 1 <= v <= 100:
                raise BadRequest("%s: %r is not in range 1..100" % (field, v))
        elif kind == "rev":
            if not isinstance(v, str) or not re.match(r"^[0-9a-f]{9,}$", v):
                raise BadRequest("%s: %r is not a revision (9 or more lowercase hex digits)" % (field, v))
        elif isinstance(kind, dict):
            check_args(v, kind, field)
        # "any": accepted as is
    return obj


CURSOR = {"session_id": ("str", True), "offset": ("uint", True)}
COMMIT = {"path": ("str", True), "mode": ("mode", False), "autorename": ("bool", False),
          "client_modified": ("time", False), "mute": ("bool", False),
          "property_groups": ("any", False), "strict_conflict": ("bool", False)}
UPLOAD = dict(COMMIT, content_hash=("hash", False))
FINISH = {"cursor": (CURSOR, True), "commit": (COMMIT, True), "content_hash": ("hash", False)}
SCHEMAS = {
    "files/list_folder": {"path": ("str", True), "recursive": ("bool", False),
                          "include_media_info": ("bool", False), "include_deleted": ("bool", False),
                          "include_has_explicit_shared_members": ("bool", False),
                          "include_mounted_folders": ("bool", False), "limit": ("limit", False),
                          "shared_link": ("any", False), "include_property_groups": ("any", False),
                          "include_non_downloadable_files": ("bool", False)},
    "files/list_folder/continue": {"cursor": ("str", True)},
    "files/list_folder/get_latest_cursor": None,  # filled below: the arguments of list_folder
    "files/create_folder_v2": {"path": ("str", True), "autorename": ("bool", False)},
    "files/move_v2": {"from_path": ("str", True), "to_path": ("str", True),
                      "allow_shared_folder": ("bool", False), "autorename": ("bool", False),
                      "allow_ownership_transfer": ("bool", False)},
    "files/delete_v2": {"path": ("str", True), "parent_rev": ("str", False)},
    "files/get_metadata": {"path": ("str", True), "include_media_info": ("bool", False),
                           "include_deleted": ("bool", False),
                           "include_has_explicit_shared_members": ("bool", False),
                           "include_property_groups": ("any", False)},
    "files/copy_v2": {"from_path": ("str", True), "to_path": ("str", True),
                      "allow_shared_folder": ("bool", False), "autorename": ("bool", False),
                      "allow_ownership_transfer": ("bool", False)},
    "users/get_space_usage": None,
    "files/download": {"path": ("str", True), "rev": ("str", False)},
    "files/list_revisions": {"path": ("str", True), "mode": ("revisions_mode", False),
                             "limit": ("revisions_limit", False)},
    "files/restore": {"path": ("str", True), "rev": ("rev", True)},
    "files/upload": UPLOAD,
    "files/upload_session/start": {"close": ("bool", False), "session_type": ("session_type", False),
                                   "content_hash": ("hash", False)},
    "files/upload_session/append_v2": {"cursor": (CURSOR, True), "close": ("bool", False),
                                       "content_hash": ("hash", False)},
    "files/upload_session/finish": FINISH,
    "files/upload_session/finish_batch_v2": {"entries": ("list", True)},
}

SCHEMAS["files/list_folder/get_latest_cursor"] = SCHEMAS["files/list_folder"]

RPC, DOWNLOAD, UPLOAD_STYLE = "rpc", "download", "upload"
ROUTES = {
    "/2/files/list_folder": RPC,
    "/2/files/list_folder/continue": RPC,
    "/2/files/create_folder_v2": RPC,
    "/2/files/move_v2": RPC,
    "/2/files/delete_v2": RPC,
    "/2/files/copy_v2": RPC,
    "/2/files/list_folder/get_latest_cursor": RPC,
    "/2/users/get_space_usage": RPC,
    "/2/files/get_metadata": RPC,
    "/2/files/list_revisions": RPC,
    "/2/files/restore": RPC,
    "/2/files/download": DOWNLOAD,
    "/2/files/upload": UPLOAD_STYLE,
    "/2/files/upload_session/start": UPLOAD_STYLE,
    "/2/files/upload_session/append_v2": UPLOAD_STYLE,
    "/2/files/upload_session/finish": UPLOAD_STYLE,
    "/2/files/upload_session/finish_batch_v2": RPC,
}
