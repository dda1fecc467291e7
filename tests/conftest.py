import os
import sys

# The multi-worker mode is read from the environment once per process; the tests that need it
# run in their own subprocesses, so this process always records into its local store only.
os.environ.pop("VTR_MULTIPROC_DIR", None)

import pytest

from vantorel import _core, _native


@pytest.fixture(autouse=True)
def fresh_store():
    _core.clear_requests()
    _core.set_max_requests(10000)
    _native.series_clear()
    yield
    _core.clear_requests()
    _core.set_max_requests(10000)
    _native.series_clear()


# A Django project of a few views, configured once per process.
@pytest.fixture(scope="module")
def django_project():
    pytest.importorskip("django")
    import django
    from django.conf import settings
    from django.http import HttpResponse, StreamingHttpResponse
    from django.urls import include, path
    from django.views.decorators.http import require_GET

    @require_GET
    def item(request, item_id):
        return HttpResponse(f"item {item_id}")

    def home(request):
        return HttpResponse("home")

    def stream(request):
        return StreamingHttpResponse(iter([b"a", b"b"]))

    from vantorel.endpoint import django_metrics_view

    module = type(sys)("vantorel_test_urls")
    module.urlpatterns = [path("", home), path("stream", stream),
                          path("shop/", include([path("items/<int:item_id>/", item)])),
                          path("metrics", django_metrics_view)]
    sys.modules[module.__name__] = module
    if not settings.configured:
        settings.configure(ROOT_URLCONF=module.__name__, ALLOWED_HOSTS=["*"],
                           MIDDLEWARE=["vantorel.middleware.DjangoRouteMiddleware"])
        django.setup()
    return module
