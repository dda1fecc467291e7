"""Route templates: which route of the application a finished request matched.

Frameworks leave the route they picked where the middleware can read it once the application
has answered: Starlette and FastAPI in ``scope["route"]``, Litestar in ``scope["path_template"]``,
Flask on the request object that Werkzeug keeps in the environ, Django (with
``DjangoRouteMiddleware``) under ``ROUTE_KEY``. Only where the framework left nothing, or only a
part of the template (a route inside a ``Mount``), is the request matched against the routing
table again, and the answer kept in a bounded memo.
"""

from __future__ import annotations

import importlib
from typing import Any, Dict, List, Optional, Set

from .recorder import ROUTE_KEY

_MISSING = object()
_MEMO_SIZE = 512
_MEMO_KEY_LIMIT = 2048  # longer paths are matched every time rather than kept


class _Memo(Dict[Any, Any]):
    """A dict that starts over once it holds ``_MEMO_SIZE`` entries: under random paths its
    memory stays bounded, and the entries in use come back at their next miss."""

    __slots__ = ()

    def put(self, key: Any, value: Any) -> None:
        if len(self) >= _MEMO_SIZE:
            self.clear()
        self[key] = value


def wsgi_text(value: Any) -> str:
    """A WSGI "native string" holds the raw bytes as latin-1; show them as the UTF-8 they are."""
    text = str(value or "")
    if text.isascii():
        return text
    try:
        return text.encode("latin-1").decode("utf-8", "replace")
    except UnicodeEncodeError:
        return text


def _endpoint_template(scope: Dict[str, Any], route: Any) -> Optional[str]:
    # FastAPI routes reached through include_router(..., prefix=...) are shared by every
    # inclusion and keep their own path; the inclusion that matched has the whole template.
    fastapi = scope.get("fastapi")
    context = fastapi.get("effective_route_context") if fastapi.__class__ is dict else None
    if context is not None and getattr(context, "original_route", None) is route:
        path = getattr(context, "path", None)
        if isinstance(path, str) and path:
            return path
    path = getattr(route, "path", None)
    return path if isinstance(path, str) and path else None


def _match_is(match: Any, name: str) -> bool:
    # Starlette's Match enum, compared by name so that Starlette need not be importable here.
    return getattr(match, "name", None) == name


def _starlette_template(app: Any, scope: Dict[str, Any]) -> Optional[str]:
    """Walks a Starlette-style router (Starlette, FastAPI) the way it routed the request and
    joins the templates of the matched Mounts and the final Route."""
    routes = getattr(app, "routes", None)
    prefix = ""
    for _depth in range(16):  # mounts nest a few levels at most; never loop forever
        if not routes:
            return None
        partial = None
        for route in routes:
            try:
                match, child_scope = route.matches(scope)
            except Exception:
                continue
            if _match_is(match, "FULL"):
                break
            if partial is None and _match_is(match, "PARTIAL"):
                partial = (route, child_scope)  # the path matched, the method did not: a 405
        else:
            if partial is None:
                return None
            route, child_scope = partial
        path = getattr(route, "path", None)
        sub_routes = getattr(route, "routes", None)
        if sub_routes is not None and not hasattr(route, "endpoint"):
            # A Mount (or Host): go on matching in its routes with its child scope.
            if isinstance(path, str):
                prefix += path
            if not sub_routes:
                return prefix + "/{path:path}" if isinstance(path, str) else None
            scope = {**scope, **child_scope}
            routes = sub_routes
            continue
        if not isinstance(path, str):
            return None
        return prefix + path
    return None


# Tried in turn to find the route of a 405, whose method the route does not answer.
_METHODS = ("GET", "POST", "PUT", "PATCH", "DELETE", "HEAD", "OPTIONS")


def _litestar_template(app: Any, path: str, root_path: str) -> Optional[str]:
    """The template of the route whose path a 405 matched: Litestar's router raised before it
    left one in the scope. Asks the router again, as it routes, with a method it answers."""
    try:
        normalize_path = importlib.import_module("litestar.utils").normalize_path
        handle_routing = app.asgi_router.handle_routing
        if root_path:
            path = path.split(root_path, maxsplit=1)[-1]
        path = normalize_path(path)
    except Exception:
        return None
    for method in _METHODS:
        try:
            template = handle_routing(path=path, method=method)[4]
        except Exception:  # not a method of that route
            continue
        return template if isinstance(template, str) and template else None
    return None


class AsgiRoutes:
    """The route templates of one ASGI middleware's requests."""

    __slots__ = ("_app", "_root", "_endpoint_types", "_mounted", "_unrouted")

    def __init__(self, app: Any) -> None:
        self._app = app
        self._root: Any = _MISSING
        self._endpoint_types: Set[type] = set()  # route classes that are not Mounts
        self._mounted = _Memo()
        self._unrouted = _Memo()

    def template(self, scope: Dict[str, Any], method: str, path: str, root_path: str,
                 status: int = 0) -> Optional[str]:
        """The template of a request that has ended with ``status``. ``method``, ``path`` and
        ``root_path`` are the scope's on arrival: routers rewrite the scope as they route."""
        if ROUTE_KEY in scope:
            explicit = scope[ROUTE_KEY]
            if isinstance(explicit, str) and explicit:
                return explicit
        route: Any = scope["route"] if "route" in scope else None
        if route is None:
            litestar = scope.get("path_template")
            if isinstance(litestar, str) and litestar:
                return litestar
            if status == 405 and "litestar_app" in scope:
                return _litestar_template(scope["litestar_app"], path, root_path)
            if "endpoint" not in scope:
                return None  # no route matched, or the application does not route at all
            # Older Starlette versions route without leaving the route behind.
            return self._unrouted_template(scope, method, path, root_path)
        # A Mount adds "app_root_path" to the scope, and its routes know only their own part
        # of the template.
        kind = route.__class__
        if "app_root_path" in scope or kind not in self._endpoint_types:
            return self._slow_template(scope, route, method, path, root_path)
        # The common case: a Route or an APIRoute, reached without a Mount.
        if "fastapi" in scope:
            fastapi = scope["fastapi"]
            if fastapi.__class__ is dict and "effective_route_context" in fastapi:
                return _endpoint_template(scope, route)
        try:
            template: Optional[str] = route.path
        except AttributeError:
            return None
        return template if template.__class__ is str and template else None

    def _slow_template(self, scope: Dict[str, Any], route: Any, method: str, path: str,
                       root_path: str) -> Optional[str]:
        consumed = scope.get("root_path", "")
        if consumed == root_path and not hasattr(route, "routes"):
            # A route class not seen yet: its requests take the fast path from now on.
            if len(self._endpoint_types) < _MEMO_SIZE:
                self._endpoint_types.add(route.__class__)
            return _endpoint_template(scope, route)
        # The Mounts that led to the route follow from the route and the root path they
        # consumed.
        key = (id(route), consumed)
        hit = self._mounted.get(key)
        if hit is not None and hit[0] is route:
            known: Optional[str] = hit[1]
            return known
        template = self._walk(scope, method, path, root_path)
        if template is None and not hasattr(route, "routes"):
            template = _endpoint_template(scope, route)
        if len(consumed) <= _MEMO_KEY_LIMIT:
            # Holding the route keeps its id from passing to another object.
            self._mounted.put(key, (route, template))
        return template

    def _unrouted_template(self, scope: Dict[str, Any], method: str, path: str,
                           root_path: str) -> Optional[str]:
        key = (method, path, root_path)
        template: Optional[str] = self._unrouted.get(key, _MISSING)
        if template is _MISSING:
            template = self._walk(scope, method, path, root_path)
            if len(path) <= _MEMO_KEY_LIMIT:
                self._unrouted.put(key, template)
        return template

    def _walk(self, scope: Dict[str, Any], method: str, path: str, root_path: str) -> Optional[str]:
        # The request as it arrived, without what the routers added to the scope since.
        entry = {"type": "http", "method": method, "path": path, "root_path": root_path,
                 "headers": scope.get("headers") or [], "query_string": b""}
        for app in self._roots(scope):
            template = _starlette_template(app, entry)
            if template is not None:
                return template
        return None

    def _roots(self, scope: Dict[str, Any]) -> List[Any]:
        """The routers to match against: the one the middleware wraps (found once, through
        the ``app`` attributes of the middlewares in between), then the scope's."""
        if self._root is _MISSING:
            self._root = None
            app = self._app
            for _depth in range(16):
                if app is None or getattr(app, "routes", None) is not None:
                    self._root = app
                    break
                app = getattr(app, "app", None)
        roots: List[Any] = []
        for app in (self._root, scope.get("router"), scope.get("app")):
            if app is not None and getattr(app, "routes", None) and all(
                    app is not seen for seen in roots):
                roots.append(app)
        return roots


class WsgiRoutes:
    """The route templates of one WSGI middleware's requests."""

    __slots__ = ("_url_map", "_matched")

    def __init__(self, app: Any) -> None:
        # Flask keeps its routing table on the application; a bound ``app.wsgi_app`` leads
        # back to it. Other Werkzeug applications may carry one too.
        owner = app if hasattr(app, "url_map") else getattr(app, "__self__", None)
        url_map = getattr(owner, "url_map", None)
        self._url_map: Any = url_map if hasattr(url_map, "bind_to_environ") else None
        self._matched = _Memo()

    def template(self, environ: Dict[str, Any], request: Any,
                 status: int = 0) -> Optional[str]:
        """The template of a request that has ended with ``status``. ``request`` is what
        Werkzeug kept under ``environ["werkzeug.request"]`` while the response started (Flask
        clears it when the application returns)."""
        if ROUTE_KEY in environ:
            explicit = environ[ROUTE_KEY]
            if isinstance(explicit, str) and explicit:
                return explicit
        if request is None:
            request = environ.get("werkzeug.request")
        if request is not None:
            try:
                rule = request.url_rule
            except AttributeError:
                pass  # a plain Werkzeug request: the URL map tells
            else:
                # Flask routed the request: its rule, or None for a 404, a 405 or a redirect.
                # A 405 matched a rule's path but not its method: the URL map finds that rule.
                if rule is not None:
                    rule_template: str = rule.rule
                    if rule_template.__class__ is not str:
                        return None
                    script_name = environ.get("SCRIPT_NAME")
                    return (wsgi_text(script_name) + rule_template if script_name
                            else rule_template)
                if status != 405:
                    return None
        if self._url_map is None:
            return None
        key = (environ.get("REQUEST_METHOD"), environ.get("SCRIPT_NAME"),
               environ.get("PATH_INFO"), environ.get("HTTP_HOST"))
        template: Optional[str] = self._matched.get(key, _MISSING)
        if template is _MISSING:
            template = self._match(environ)
            if len(key[2] or "") <= _MEMO_KEY_LIMIT:
                self._matched.put(key, template)
        return template

    def _match(self, environ: Dict[str, Any]) -> Optional[str]:
        adapter = self._url_map.bind_to_environ(environ)
        try:
            rule, _args = adapter.match(return_rule=True)
        except Exception as exc:  # NotFound, RequestRedirect: no template
            # MethodNotAllowed: the path is a rule's, so it counts under that rule.
            allowed = getattr(exc, "valid_methods", None)
            if getattr(exc, "code", None) != 405 or not allowed:
                return None
            try:
                rule, _args = adapter.match(return_rule=True, method=allowed[0])
            except Exception:
                return None
        template = getattr(rule, "rule", None)
        if not isinstance(template, str):
            return None
        script_name = environ.get("SCRIPT_NAME")
        return wsgi_text(script_name) + template if script_name else template
